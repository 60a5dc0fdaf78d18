// Whether the coders may take their 512-bit vector loops where the processor has them. Both
// kinds of loop give the same bytes; KUPACK_PORTABLE_LOOPS=1 in the environment keeps the
// portable ones, so that a machine with the vectors can test the loops of one without.
#pragma once

namespace kupack {

// False when KUPACK_PORTABLE_LOOPS is set to anything but "0" or ""; read once.
bool vectorLoopsAllowed();

}  // namespace kupack
