// How the process keeps its memory between the entries of a packing run.
#pragma once


namespace kupack::platform {

// A packing run allocates and frees buffers of megabytes for each entry (the coder's window
// and tables, a picture, coded bytes waiting for their turn). From now on, freed blocks of
// up to 32 MiB are kept by the process for the next entry instead of being handed back to the
// system, whose fresh pages would have to be faulted in and cleared again; and all threads
// allocate from one heap, so that what one thread freed serves the next. The process then
// holds no more than its peak. Does nothing where the allocator has no such setting. To be
// called before any thread is started.
void keepFreedBuffers();

}  // namespace kupack::platform
