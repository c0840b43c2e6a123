// What the host sets up in the process before it reads any input: the standard descriptors,
// the signals whose default action would lose requests, and malloc's arenas. Each is done once,
// at start, from the host thread.
#pragma once

#include <cstddef>

namespace host {

// A standard descriptor the process was started without is taken by /dev/null, opened the
// other way round so that using it still fails. Left free, it would go to the next file or
// socket opened, and the notification lines would be written into that.
void holdClosedStandardDescriptors();

// SIGPIPE and SIGXFSZ are ignored: a reader that goes away makes a write fail, which is
// reported, and a file-size limit makes the cache write fail with EFBIG, after which the
// request is still delivered, without its image.
void ignoreSignalsThatLoseRequests();

// A run over a handful of payload files shares one malloc arena among its threads, which
// saves each cold start the arenas of the URL session's threads (docs/benchmarks.md, "Page
// faults and the cold start"). A stream, or many files, keeps one arena per thread, which
// busy threads allocating and freeing bodies need. A limit set in the environment still
// decides.
void shareOneMallocArenaForAFewFiles(std::size_t files);

}  // namespace host
