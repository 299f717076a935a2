# The one version number: the project's. It reaches the packer's --version,
# the stub's version resource and the packages' names through one generated
# header, which the resource compiler reads as well (plain #defines only).
# The fourth field of the resource's numbers is the tweak, 0 when unset.
set(QELVOR_VERSION_TWEAK 0)
if(PROJECT_VERSION_TWEAK)
  set(QELVOR_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(QELVOR_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qelvor_version.h.in
               ${QELVOR_GENERATED_DIR}/qelvor_version.h @ONLY)
