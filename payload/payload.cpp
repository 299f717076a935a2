// The facts of payload.h that are data rather than declarations.
#include "payload/payload.h"

const Subfolder SUBFOLDERS[SUBFOLDER_COUNT] = {{".jvs", "Style"}, {".lng", "lang"}};
