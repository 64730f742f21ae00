// The FIFO's lock, for tests that must hold it from another thread.
#pragma once

#include <mutex>

#include "ZelkFifo.h"

namespace zelk::detail {
std::mutex& fifoLock(tZelk_Fifo* fifo);
}
