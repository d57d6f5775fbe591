#include "connection.hpp"

#include <algorithm>
#include <utility>

#include "counter.hpp"
#include "world.hpp"

namespace zqkit::ctp {

namespace {

// How often a connection retries a front address that has no counter configured.
constexpr auto kRetryInterval = std::chrono::milliseconds(100);

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

Connection::Connection(std::string front, std::string flow_path)
    : front_(std::move(front)), flow_path_(std::move(flow_path)) {}

Connection::~Connection() {
    // close() has joined the worker on every normal path; this is the safety net.
    if (worker_.joinable()) close();
}

std::shared_ptr<Connection> Connection::open(std::string front, std::string flow_path) {
    auto connection = std::make_shared<Connection>(std::move(front), std::move(flow_path));
    std::lock_guard lock(world().mutex);
    Counter* counter = find_counter(connection->front_);
    auto delay = counter ? seconds(counter->options().connect_delay)
                         : std::chrono::duration_cast<Clock::duration>(kRetryInterval);
    connection->connect_at_ = Clock::now() + delay;
    // The worker only runs once we release the lock; register after it exists, so that a
    // failure to start a thread leaves nothing behind.
    connection->worker_ = std::thread([raw = connection.get()] { raw->run(); });
    world().connections[connection.get()] = connection;
    return connection;
}

void Connection::raise_if_closed() const {
    if (closed_) throw ClosedConnection();
}

int Connection::submit(std::string method, Fields fields, int request_id) {
    std::lock_guard lock(world().mutex);
    raise_if_closed();
    if (counter_ == nullptr) return -1;  // not connected: the request cannot leave
    Faults& faults = counter_->faults();
    const FrontOptions& options = counter_->options();
    if (faults.refuse_count > 0) {
        --faults.refuse_count;
        return faults.refuse_code;
    }
    auto now = Clock::now();
    if (options.max_inflight > 0 && static_cast<int>(inbox_.size()) >= options.max_inflight) {
        return -2;
    }
    while (!recent_.empty() && now - recent_.front() >= std::chrono::seconds(1)) {
        recent_.pop_front();
    }
    if (options.max_per_second > 0 && static_cast<int>(recent_.size()) >= options.max_per_second) {
        return -3;
    }
    recent_.push_back(now);
    if (faults.withhold_count > 0) {
        --faults.withhold_count;  // lost on its way: accepted, never answered
        return 0;
    }
    inbox_.push_back(
        {now + seconds(options.latency), std::move(method), std::move(fields), request_id});
    wake_.notify_all();
    return 0;
}

std::vector<Event> Connection::take_events() {
    std::lock_guard lock(world().mutex);
    raise_if_closed();
    std::vector<Event> events;
    events.swap(outbox_);
    return events;
}

bool Connection::closed() {
    std::lock_guard lock(world().mutex);
    return closed_;
}

void Connection::close() {
    std::thread worker;
    {
        std::lock_guard lock(world().mutex);
        worker = shut_down();
    }
    if (worker.joinable()) worker.join();
}

std::thread Connection::shut_down() {
    if (!closed_) {
        closed_ = true;
        if (counter_ != nullptr) counter_->detach(*this);
        counter_ = nullptr;
        inbox_.clear();
        outbox_.clear();
        world().connections.erase(this);
        wake_.notify_all();
    }
    return std::move(worker_);
}

void Connection::deliver(Event event) {
    outbox_.push_back(std::move(event));
}

void Connection::on_attached(Counter& counter) {
    counter_ = &counter;
}

void Connection::on_dropped(double reconnect_after) {
    counter_ = nullptr;
    inbox_.clear();  // answers in flight are lost with the connection
    Event event;
    event.name = "FrontDisconnected";
    event.data.emplace();
    event.data->add("Reason", std::int64_t{0x1001});  // network read failure
    deliver(std::move(event));
    connect_at_ = Clock::now() + seconds(reconnect_after);
    wake_.notify_all();
}

void Connection::try_connect(Clock::time_point now) {
    Counter* counter = find_counter(front_);
    if (counter == nullptr) {
        connect_at_ = now + std::chrono::duration_cast<Clock::duration>(kRetryInterval);
        return;
    }
    counter->attach(*this);
}

void Connection::answer_due(Clock::time_point now) {
    // Strictly in arrival order, like one socket: a later request never overtakes.
    while (counter_ != nullptr && !closed_ && !inbox_.empty() && inbox_.front().due <= now) {
        Request request = std::move(inbox_.front());
        inbox_.pop_front();
        counter_->handle(*this, request.method, request.fields, request.request_id);
    }
}

void Connection::run() {
    std::unique_lock lock(world().mutex);
    while (!closed_) {
        auto now = Clock::now();
        if (counter_ == nullptr && now >= connect_at_) try_connect(now);
        answer_due(now);
        if (closed_) break;
        if (counter_ == nullptr) {
            wake_.wait_until(lock, connect_at_);
        } else if (!inbox_.empty()) {
            wake_.wait_until(lock, inbox_.front().due);
        } else {
            wake_.wait(lock);
        }
    }
}

}  // namespace zqkit::ctp
