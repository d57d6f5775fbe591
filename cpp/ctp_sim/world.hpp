// The process-wide state of the simulated counter: one counter per front address and every
// open connection. One mutex guards all of it, the worker threads included.
//
// Lock order: the GIL (when a Python thread holds it) before this mutex. Holders of this
// mutex never take the GIL and never create or release Python objects, so a Python thread
// may wait for it with the GIL held, and a worker thread can always finish.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "counter.hpp"

namespace zqkit::ctp {

class Connection;

struct World {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<Counter>> counters;  // by front address
    std::map<Connection*, std::weak_ptr<Connection>> connections;
};

// Deliberately never destroyed: worker threads of handles nobody closed may still use it
// while the interpreter shuts down.
World& world();

// The counter of a front address, or nullptr. Lock held.
Counter* find_counter(const std::string& address);

}  // namespace zqkit::ctp
