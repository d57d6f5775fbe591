// One connection to a front: its worker thread, the queue of requests waiting for their
// answer time and the queue of events waiting for `poll`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "values.hpp"

namespace zqkit::ctp {

class Counter;

using Clock = std::chrono::steady_clock;

// Thrown by the Python-side calls on a connection that was closed (or reset away).
struct ClosedConnection : std::runtime_error {
    ClosedConnection() : std::runtime_error("CTP 连接句柄已关闭") {}
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(std::string front, std::string flow_path);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Registers the connection and starts its worker; the first connection attempt follows
    // after the front's connect delay.
    static std::shared_ptr<Connection> open(std::string front, std::string flow_path);

    // Python side: each takes the world lock itself.
    int submit(std::string method, Fields fields, int request_id);
    std::vector<Event> take_events();
    // Stops the worker and joins it. Call without the GIL; idempotent.
    void close();
    bool closed();
    const std::string& front() const { return front_; }
    const std::string& flow_path() const { return flow_path_; }

    // Counter side, world lock held.
    void deliver(Event event);
    void on_attached(Counter& counter);
    void on_dropped(double reconnect_after);
    // Marks the connection closed and hands out its worker for joining (used by reset too).
    std::thread shut_down();

  private:
    struct Request {
        Clock::time_point due;
        std::string method;
        Fields fields;
        int request_id;
    };

    void run();
    void try_connect(Clock::time_point now);
    void answer_due(Clock::time_point now);
    void raise_if_closed() const;

    std::string front_;
    std::string flow_path_;
    std::condition_variable wake_;
    std::thread worker_;
    bool closed_ = false;
    Counter* counter_ = nullptr;  // the front's counter while connected
    Clock::time_point connect_at_;
    std::deque<Request> inbox_;
    std::vector<Event> outbox_;
    std::deque<Clock::time_point> recent_;  // request times within the last second
};

}  // namespace zqkit::ctp
