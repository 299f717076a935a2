# Installing and packaging. `cmake --install` lays out, under any prefix,
#   Linux:   bin/qelvor-pack, share/qelvor/qelvor-stub.exe,
#            share/man/man1/qelvor-pack.1.gz, share/doc/qelvor/ (README,
#            copyright, changelog)
#   Windows: qelvor-pack.exe, qelvor-stub.exe and README.md side by side
# and CPack turns the same rules into qelvor_<version>_amd64.deb and
# qelvor-<version>-win64.zip. Nothing in the installed files names the
# prefix: the packer finds the stub from its own place (stub_search.cpp), so
# the tree can be moved. The Linux build does not make the stub; it installs
# the one the cross build made, which `make` copies into dist/.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME qelvor)
set(CPACK_PACKAGE_VENDOR "qelvor developers")
set(CPACK_PACKAGE_CONTACT "qelvor developers <qelvor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packer for self-extracting Windows setup launchers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})

if(WIN32)
  install(TARGETS qelvor-pack RUNTIME DESTINATION .)
  install(TARGETS qelvor-stub RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  # The packer carries libdeflate, whose licence asks for its notice.
  install(FILES ${QELVOR_LIBDEFLATE_SOURCE}/COPYING DESTINATION . RENAME libdeflate-COPYING.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qelvor-${PROJECT_VERSION}-win64)
else()
  set(QELVOR_STUB ${PROJECT_SOURCE_DIR}/dist/qelvor-stub.exe CACHE FILEPATH
      "The launcher stub that the cross build made, installed beside the packer")
  install(TARGETS qelvor-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QELVOR_STUB} DESTINATION ${CMAKE_INSTALL_DATADIR}/qelvor)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md cmake/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The manual page from --help and --version, and the changelog, both
  # compressed as Debian wants them (gzip -n: no name or time inside). The
  # page's date is the release's, the changelog's latest entry, so that the
  # page does not change with the day it is built.
  set(QELVOR_RELEASE_EPOCH 1796860800)  # 2026-12-10, see cmake/changelog.in
  find_program(HELP2MAN help2man REQUIRED)
  set(man ${CMAKE_BINARY_DIR}/qelvor-pack.1)
  configure_file(cmake/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
  add_custom_command(
    OUTPUT ${man}.gz ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QELVOR_RELEASE_EPOCH}
            ${HELP2MAN} --no-info --no-discard-stderr
            --name "build and inspect qelvor setup launchers"
            --output ${man} $<TARGET_FILE:qelvor-pack>
    COMMAND gzip -9nf ${man}
    COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/changelog
    DEPENDS qelvor-pack ${CMAKE_BINARY_DIR}/changelog
    COMMENT "Writing the manual page qelvor-pack.1")
  add_custom_target(qelvor_manual ALL DEPENDS ${man}.gz ${CMAKE_BINARY_DIR}/changelog.gz)
  install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents these.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "qelvor-pack appends an installation set to the qelvor launcher stub, a\nsmall Windows executable that unpacks the set and starts its setup.exe.\nIt also lists, verifies and extracts such launchers and stamps their\nversion resource. The stub is installed in /usr/share/qelvor.")
endif()

include(CPack)
