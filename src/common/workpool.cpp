#include "workpool.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace wr {

namespace {

bool write_all(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void put_length(char* out, std::uint64_t n) noexcept {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

std::uint64_t get_length(const char* in) noexcept {
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i) n |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return n;
}

// The worker, its own group (pytesseract's Tesseract and anything else it
// started without a group of its own) and its outside programs' groups.
void kill_worker(const WorkerHandle& w) noexcept {
    kill_groups(w.groups);
    if (w.pid > 0) (void)::killpg(w.pid, SIGKILL);
    if (w.pid > 0) (void)::kill(w.pid, SIGKILL);
    // Programs registered after the first sweep (a start that was under
    // way) are caught by a second one once the worker can start no more.
    if (w.pid > 0) {
        int status = 0;
        while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    kill_groups(w.groups);
}

void close_worker(WorkerHandle& w) noexcept {
    if (w.to_worker >= 0) ::close(w.to_worker);
    if (w.from_worker >= 0) ::close(w.from_worker);
    free_group_table(w.groups);
    w = WorkerHandle{};
}

}  // namespace

GroupTable* new_group_table() noexcept {
    void* memory = ::mmap(nullptr, sizeof(GroupTable), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    auto* table = new (memory) GroupTable;
    for (auto& g : table->groups) g.store(0);
    return table;
}

void free_group_table(GroupTable* table) noexcept {
    if (table == nullptr) return;
    table->~GroupTable();
    ::munmap(table, sizeof(GroupTable));
}

bool add_group(GroupTable* table, int group) noexcept {
    if (table == nullptr || group <= 1) return false;
    for (auto& g : table->groups) {
        int empty = 0;
        if (g.compare_exchange_strong(empty, group)) return true;
    }
    return false;
}

void drop_group(GroupTable* table, int group) noexcept {
    if (table == nullptr || group <= 1) return;
    for (auto& g : table->groups) {
        int expected = group;
        g.compare_exchange_strong(expected, 0);
    }
}

void kill_groups(GroupTable* table) noexcept {
    if (table == nullptr) return;
    for (auto& g : table->groups) {
        const int group = g.load();
        if (group > 1) (void)::killpg(group, SIGKILL);
    }
}


bool write_frame(int fd, const std::string& bytes, char kind) noexcept {
    char head[9];
    std::size_t start = 0;
    if (kind != 0) head[start++] = kind;
    put_length(head + start, bytes.size());
    return write_all(fd, head, start + 8) && write_all(fd, bytes.data(), bytes.size());
}

bool read_frame(int fd, std::string& bytes) noexcept {
    char head[8];
    if (!read_all(fd, head, 8)) return false;
    const std::uint64_t n = get_length(head);
    if (n > (std::uint64_t{1} << 34)) return false;
    try {
        bytes.assign(static_cast<std::size_t>(n), '\0');
    } catch (...) {
        return false;
    }
    return read_all(fd, bytes.data(), bytes.size());
}

WorkPool::WorkPool(double seconds_per_unit) : per_unit_(seconds_per_unit) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category());
    thread_ = std::thread([this] { loop(); });
}

WorkPool::~WorkPool() { stop(); }

void WorkPool::wake() noexcept {
    const char c = 0;
    (void)!::write(wake_[1], &c, 1);
}

void WorkPool::add_worker(const WorkerHandle& worker) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot slot;
        slot.worker = worker;
        ::fcntl(worker.from_worker, F_SETFL, ::fcntl(worker.from_worker, F_GETFL) | O_NONBLOCK);
        slots_.push_back(std::move(slot));
    }
    wake();
}

void WorkPool::submit(std::size_t id, std::string task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.emplace_back(id, std::move(task));
    }
    wake();
}

bool WorkPool::next(TaskEvent& event, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    if (!ready_.wait_until(lock, until, [this] { return !events_.empty() || stopping_; })) return false;
    if (events_.empty()) return false;
    event = std::move(events_.front());
    events_.pop_front();
    return true;
}

std::vector<int> WorkPool::descriptors() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> fds{wake_[0], wake_[1]};
    for (auto& s : slots_) {
        fds.push_back(s.worker.to_worker);
        fds.push_back(s.worker.from_worker);
    }
    return fds;
}

void WorkPool::emit(TaskEvent event) {
    events_.push_back(std::move(event));
    ready_.notify_all();
}

// The slot's worker is gone (killed here, or ended by itself): what it was
// doing is reported, and the owner is told to start another.
void WorkPool::finish(Slot& slot, TaskEvent::Kind kind, double limit) {
    kill_worker(slot.worker);
    close_worker(slot.worker);
    TaskEvent event;
    if (slot.busy) {
        event.kind = kind;
        event.task = slot.task;
        event.limit = limit;
        emit(event);
    }
    emit(TaskEvent{TaskEvent::WorkerLost, 0, {}, 0});
    slot.busy = false;
}

// Takes what the worker wrote; messages complete in the inbox are acted on.
bool WorkPool::read_from(Slot& slot) {
    char buffer[65536];
    bool open = true;
    while (true) {
        const ssize_t n = ::read(slot.worker.from_worker, buffer, sizeof buffer);
        if (n > 0) {
            // A worker that talks past any sane answer is taken for broken
            // rather than allowed to fill the run's memory.
            if (slot.inbox.size() + static_cast<std::size_t>(n) > kLargestAnswer) return false;
            slot.inbox.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        open = false;  // end of file: the worker is gone, maybe after its answer
        break;
    }
    while (slot.inbox.size() >= 9) {
        const std::uint64_t size = get_length(slot.inbox.data() + 1);
        if (slot.inbox.size() - 9 < size) break;
        const char kind = slot.inbox[0];
        std::string body = slot.inbox.substr(9, static_cast<std::size_t>(size));
        slot.inbox.erase(0, 9 + static_cast<std::size_t>(size));
        if (!slot.busy) continue;
        if (kind == kUnitsMessage) {
            double units = 1;
            try {
                units = std::stod(body);
            } catch (...) {
            }
            slot.limit = per_unit_ * std::max(1.0, units);
        } else if (kind == kAnswerMessage) {
            slot.busy = false;
            emit(TaskEvent{TaskEvent::Answered, slot.task, std::move(body), 0});
        }
    }
    return open;
}

WorkPool::Parked::Parked(WorkPool& pool) : pool_(pool) {
    std::unique_lock<std::mutex> lock(pool_.mutex_);
    if (!pool_.thread_.joinable() || pool_.stopping_) return;
    pool_.park_ = true;
    lock.unlock();
    pool_.wake();
    lock.lock();
    pool_.ready_.wait(lock, [this] { return pool_.parked_ || pool_.stopping_; });
}

WorkPool::Parked::~Parked() {
    {
        std::lock_guard<std::mutex> lock(pool_.mutex_);
        pool_.park_ = false;
    }
    pool_.ready_.notify_all();
}

void WorkPool::add_forked(const std::function<WorkerHandle(const std::vector<int>&)>& start) {
    WorkerHandle worker;
    {
        Parked parked(*this);
        // Read only once the thread is parked: until then it may close a
        // dead worker's pipes, whose numbers the new worker's own pipes can
        // then take, and the child would close those as not its own.
        const std::vector<int> theirs = descriptors();
        worker = start(theirs);
    }
    add_worker(worker);
}

void WorkPool::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (park_) {
            parked_ = true;
            ready_.notify_all();
            ready_.wait(lock, [this] { return !park_ || stopping_; });
            parked_ = false;
            continue;
        }
        // Idle workers get the next tasks, in order.
        for (auto& slot : slots_) {
            if (slot.worker.pid < 0 || slot.busy || queue_.empty()) continue;
            auto [id, task] = std::move(queue_.front());
            queue_.pop_front();
            slot.busy = true;
            slot.task = id;
            slot.started = std::chrono::steady_clock::now();
            slot.limit = per_unit_;
            if (!write_frame(slot.worker.to_worker, task)) finish(slot, TaskEvent::Died, 0);
        }
        slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                    [](const Slot& s) { return s.worker.pid < 0; }),
                     slots_.end());

        // Wait for a message, a new task or worker, or the nearest limit.
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        auto now = std::chrono::steady_clock::now();
        double wait = 1.0;
        for (auto& slot : slots_) {
            fds.push_back({slot.worker.from_worker, POLLIN, 0});
            if (slot.busy) {
                const double used = std::chrono::duration<double>(now - slot.started).count();
                wait = std::min(wait, std::max(0.0, slot.limit - used));
            }
        }
        lock.unlock();
        (void)::poll(fds.data(), fds.size(), static_cast<int>(wait * 1000) + 1);
        lock.lock();
        char drain[256];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
        if (stopping_) break;

        now = std::chrono::steady_clock::now();
        for (auto& slot : slots_) {
            auto it = std::find_if(fds.begin(), fds.end(),
                                   [&](const pollfd& p) { return p.fd == slot.worker.from_worker; });
            if (it != fds.end() && it->revents != 0 && !read_from(slot)) {
                finish(slot, TaskEvent::Died, 0);
                continue;
            }
            if (slot.busy &&
                std::chrono::duration<double>(now - slot.started).count() > slot.limit)
                finish(slot, TaskEvent::TimedOut, slot.limit);
        }
    }
}

void WorkPool::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
        ready_.notify_all();
    }
    wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    // Killed before anything is reaped, so that a second sweep reaches
    // programs any of them was starting.
    for (auto& s : slots_)
        if (s.worker.pid > 0) {
            kill_groups(s.worker.groups);
            (void)::killpg(s.worker.pid, SIGKILL);
        }
    for (auto& s : slots_) {
        kill_worker(s.worker);
        close_worker(s.worker);
    }
    slots_.clear();
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
    wake_[0] = wake_[1] = -1;
}

}  // namespace wr
