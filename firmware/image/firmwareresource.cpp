// The built-in update image is compiled in as the resource collection
// "firmware" (see CMakeLists.txt); its path is in BuiltInImage.h.
#include "builtinimage.h"
