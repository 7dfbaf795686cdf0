// Worker processes that each run one task at a time under a wall-clock
// limit, watched from a thread of the process that started them.
//
// Plain C++ over file descriptors: starting a worker (a fork, with whatever
// the language runtime needs around it) and what a worker does with a task
// are the owner's; the pool hands tasks out as soon as a worker is idle,
// gives answers back in the order they come, and kills a worker that runs
// past its task's limit together with its process group and the groups of
// the outside programs it has running.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wr {

// The process groups of the outside programs a worker has running, in
// memory shared between the worker and the process that started it, so that
// either can kill them: the parent when the worker runs out of time, the
// worker itself when its parent dies. Only lock-free atomics: it is read
// inside signal handlers.
struct GroupTable {
    static constexpr int kSlots = 64;
    std::atomic<int> groups[kSlots];
};

// A zeroed table in shared anonymous memory (inherited over fork), or null.
GroupTable* new_group_table() noexcept;
void free_group_table(GroupTable* table) noexcept;
// False when the table is full (the group is then only killed with the
// program's own time limit).
bool add_group(GroupTable* table, int group) noexcept;
void drop_group(GroupTable* table, int group) noexcept;
// SIGKILL to every group in the table. Async-signal-safe.
void kill_groups(GroupTable* table) noexcept;

// A worker publishes its table as a capsule of this name, in the attribute
// `_worker_groups` of the `wrapper` package: every extension module has its
// own copy of this code, and finds the table there.
constexpr const char* kGroupTableCapsule = "wrapper.worker_groups";

// Messages on the pipe from a worker: a kind byte, an 8-byte length, bytes.
constexpr char kUnitsMessage = 'U';   // the task's size in units (decimal)
constexpr char kAnswerMessage = 'A';  // the task's answer
// The most a worker may have written and not yet been read as whole
// messages; past it the worker is killed and its task reported as died.
constexpr std::size_t kLargestAnswer = std::size_t{1} << 30;
// Tasks on the pipe to a worker: an 8-byte length, then the bytes.
bool write_frame(int fd, const std::string& bytes, char kind = 0) noexcept;
// Reads a task frame; false at end of file or on error.
bool read_frame(int fd, std::string& bytes) noexcept;

struct WorkerHandle {
    pid_t pid = -1;  // also the id of its process group
    int to_worker = -1;
    int from_worker = -1;
    GroupTable* groups = nullptr;
};

struct TaskEvent {
    enum Kind { Answered, TimedOut, Died, WorkerLost } kind = Answered;
    std::size_t task = 0;  // not for WorkerLost
    std::string answer;    // Answered
    double limit = 0;      // TimedOut: the limit it ran past, in seconds
};

class WorkPool {
public:
    // A task may take `seconds_per_unit` times the units it announces (one
    // unit until it says otherwise).
    explicit WorkPool(double seconds_per_unit);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    void add_worker(const WorkerHandle& worker);
    // Tasks are handed out in the order submitted.
    void submit(std::size_t id, std::string task);
    // Waits at most `seconds` for what became of a task (or of a worker that
    // ended while idle: WorkerLost); false when nothing came.
    bool next(TaskEvent& event, double seconds);
    // Kills every worker with its groups and reaps them; no more events.
    void stop() noexcept;
    // Every descriptor the pool holds, for a fresh worker to close.
    std::vector<int> descriptors();
    // Starts a worker with `start`, given the descriptors the worker must
    // close, and adds it. The watching thread is parked meanwhile where it
    // holds no lock of any allocator: a child forked while that thread is
    // inside malloc would inherit the allocator's lock taken.
    void add_forked(const std::function<WorkerHandle(const std::vector<int>&)>& start);

private:
    // While held, the watching thread is parked.
    class Parked {
    public:
        explicit Parked(WorkPool& pool);
        ~Parked();
        Parked(const Parked&) = delete;
        Parked& operator=(const Parked&) = delete;

    private:
        WorkPool& pool_;
    };

    struct Slot {
        WorkerHandle worker;
        bool busy = false;
        std::size_t task = 0;
        std::chrono::steady_clock::time_point started;
        double limit = 0;
        std::string inbox;
    };
    void loop();
    void wake() noexcept;
    void finish(Slot& slot, TaskEvent::Kind kind, double limit);
    bool read_from(Slot& slot);  // false: the worker ended
    void emit(TaskEvent event);

    const double per_unit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Slot> slots_;
    std::deque<std::pair<std::size_t, std::string>> queue_;
    std::deque<TaskEvent> events_;
    bool stopping_ = false;
    bool park_ = false;    // the owner asks the thread to park
    bool parked_ = false;  // the thread is parked
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace wr
