// ISA-L's igzip, where the build found it: CMake sets VELKO_HAVE_ISAL=1 on the gzip sources
// alone, so only they may read it (an inline function of a shared header would differ by unit).
#pragma once

#ifndef VELKO_HAVE_ISAL
#define VELKO_HAVE_ISAL 0
#endif
#if VELKO_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif
