#pragma once

// writerPause(): a backend calls it between rows of a long transaction.
// It lets the request threads in on a shared core, and on the store's writer
// thread it also checks, every few calls, whether the writer has fallen
// behind, so that a round begun at the lowest priority takes a larger share
// of the core without waiting for its own end. On any other thread it only
// yields.

namespace NORRIK::Data {

void writerPause();

}  // namespace NORRIK::Data
