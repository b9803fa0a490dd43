// The pool's parts that need no ngspice: time-outs, worker discovery, the job
// queue and reply channel, and pools of misbehaving programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/format.h"
#include "ngspice/pool.h"
#include "ngspice/temp_dirs.h"

using namespace morva;
using namespace morva::ngspice;
namespace fs = std::filesystem;

namespace {

// Sets environment variables for one test and restores them afterwards.
class EnvGuard {
public:
    ~EnvGuard() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "morva-pool-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    std::string touch(const std::string& relative) const {
        const fs::path p = path_ / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "#!/bin/sh\n";
        return p.string();
    }

private:
    fs::path path_;
};

SimulationRequest request(const std::string& id) { return {id, "t\n.end", {"run"}, {}, std::nullopt}; }

}  // namespace

TEST(PoolTimeout, FromSeconds) {
    auto t = Timeout::from_secs_f64(0.4);
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t->secs, 0u);
    EXPECT_EQ(t->nanos, 400000000u);
    t = Timeout::from_secs_f64(120);
    EXPECT_EQ(t->secs, 120u);
    EXPECT_EQ(t->nanos, 0u);
    t = Timeout::from_secs_f64(1.9999999999);
    EXPECT_EQ(t->secs, 2u);  // rounds to the nearest nanosecond
    EXPECT_EQ(t->nanos, 0u);
    t = Timeout::from_secs_f64(1e-10);
    EXPECT_EQ(t->nanos, 0u);
    t = Timeout::from_secs_f64(18446744073709549568.0);  // the largest double below 2^64
    ASSERT_TRUE(t.ok());
    EXPECT_FALSE(t->deadline_after(std::chrono::steady_clock::now()).has_value());

    // The refusals' texts are checked from Python (test_pool.py).
}

TEST(PoolDiscovery, CandidatesInOrder) {
    TempDir dir;
    EnvGuard env;
    env.set("NGSPICE_WORKER_BIN", std::nullopt);
    env.set("VIRTUAL_ENV", std::nullopt);
    env.set("CONDA_PREFIX", std::nullopt);
    env.set("NGSPICE_WORKER_PYTHON", std::nullopt);
    env.set("PATH", (dir.path() / "empty").string());

    // Last resort: the current executable with --worker.
    auto b = find_worker_binary();
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(b->program, *current_executable());
    EXPECT_EQ(b->args, std::vector<std::string>{"--worker"});

    env.set("NGSPICE_WORKER_PYTHON", "/no/such/python");  // taken without an existence test
    b = find_worker_binary();
    EXPECT_EQ(b->program, "/no/such/python");
    EXPECT_EQ(b->args, (std::vector<std::string>{"-c", "import morva._main; morva._main.run_worker()"}));

    const std::string on_path = dir.touch("p2/ngspice-worker");
    env.set("PATH", (dir.path() / "p1").string() + ":" + (dir.path() / "p2").string());
    EXPECT_EQ(find_worker_binary()->program, on_path);

    const std::string conda = dir.touch("conda/bin/ngspice-worker");
    env.set("CONDA_PREFIX", (dir.path() / "conda").string());
    EXPECT_EQ(find_worker_binary()->program, conda);

    const std::string venv = dir.touch("venv/bin/ngspice-worker");
    env.set("VIRTUAL_ENV", (dir.path() / "venv").string());
    EXPECT_EQ(find_worker_binary()->program, venv);

    env.set("NGSPICE_WORKER_BIN", (dir.path() / "missing").string());  // skipped
    EXPECT_EQ(find_worker_binary()->program, venv);
    env.set("NGSPICE_WORKER_BIN", dir.path().string());  // a directory exists, so it is chosen
    EXPECT_EQ(find_worker_binary()->program, dir.path().string());
    EXPECT_TRUE(find_worker_binary()->args.empty());
}

TEST(PoolDiscovery, EmptyPathEntryMeansTheWorkingDirectory) {
    TempDir dir;
    EnvGuard env;
    for (const char* name : {"NGSPICE_WORKER_BIN", "VIRTUAL_ENV", "CONDA_PREFIX", "NGSPICE_WORKER_PYTHON"}) {
        env.set(name, std::nullopt);
    }
    dir.touch("ngspice-worker");
    const fs::path old = fs::current_path();
    fs::current_path(dir.path());
    env.set("PATH", "/nonexistent-a::/nonexistent-b");
    auto b = find_worker_binary();
    fs::current_path(old);
    EXPECT_EQ(b->program, "ngspice-worker");
}

TEST(PoolChannel, DroppedReplySenderAnswersWithAnError) {
    auto slot = std::make_shared<detail::ReplySlot>();
    ReplyFuture future(slot);
    { ReplySender sender(slot); }
    auto outcome = future.get();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().text(), "worker process crashed: worker task dropped reply sender");

    auto slot2 = std::make_shared<detail::ReplySlot>();
    ReplyFuture f2(slot2);
    {
        ReplySender s(slot2);
        SimulationResponse r;
        r.id = "x";
        s.send(r);
        s.send(err(NgspiceError::send_failed()));  // only the first reply counts
    }
    EXPECT_TRUE(f2.ready());
    EXPECT_EQ(f2.get()->id, "x");
}

// Jobs whose reply ends the test keeps.
struct JobMaker {
    std::vector<ReplyFuture> futures;
    Job operator()(const std::string& id) {
        auto slot = std::make_shared<detail::ReplySlot>();
        futures.emplace_back(slot);
        return Job{request(id), ReplySender(slot)};
    }
};

TEST(PoolQueue, BoundedFifoWithCloseAndLastReceiver) {
    JobQueue q(2, 1);
    JobMaker make_job;
    EXPECT_FALSE(q.push(make_job("a")).has_value());
    EXPECT_FALSE(q.push(make_job("b")).has_value());
    std::atomic<bool> third_in{false};
    Job third = make_job("c");
    std::thread blocked([&] {
        EXPECT_FALSE(q.push(std::move(third)).has_value());
        third_in = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(third_in);  // the queue is full
    EXPECT_EQ(q.pop()->request.id, "a");
    blocked.join();
    EXPECT_TRUE(third_in);
    EXPECT_EQ(q.pop()->request.id, "b");

    q.close();
    EXPECT_TRUE(q.push(make_job("late")).has_value());  // refused, handed back
    EXPECT_EQ(q.pop()->request.id, "c");                // what was queued is still served
    EXPECT_FALSE(q.pop().has_value());

    JobQueue q2(4, 2);
    EXPECT_FALSE(q2.push(make_job("d")).has_value());
    q2.receiver_gone();
    EXPECT_FALSE(make_job.futures.back().ready());
    q2.receiver_gone();  // the last receiver: queued jobs are dropped
    auto dropped = make_job.futures.back().get();
    ASSERT_FALSE(dropped.ok());
    EXPECT_EQ(dropped.error().detail, "worker task dropped reply sender");
    EXPECT_TRUE(q2.push(make_job("e")).has_value());
}

TEST(PoolQueue, SendersThatGiveUpLeaveTheLineMoving) {
    JobQueue q(1, 1);
    JobMaker make_job;
    EXPECT_FALSE(q.push(make_job("a")).has_value());
    // "b" waits for room and gives up; "c", queued behind it, still gets in.
    // Each waiting sender says so the first time it is asked whether to
    // give up (each from its own thread).
    std::atomic<bool> stop_b{false};
    std::promise<void> b_waits, c_waits;
    bool b_said = false, c_said = false;
    Job b = make_job("b"), c = make_job("c");
    std::thread waiting_b([&] {
        const auto outcome = q.try_push(b, [&] {
            if (!std::exchange(b_said, true)) b_waits.set_value();
            return stop_b.load();
        });
        EXPECT_EQ(outcome, JobQueue::PushOutcome::GaveUp);
        EXPECT_EQ(b.request.id, "b");  // still the caller's
    });
    b_waits.get_future().wait();
    std::thread waiting_c([&] {
        const auto outcome = q.try_push(c, [&] {
            if (!std::exchange(c_said, true)) c_waits.set_value();
            return false;
        });
        EXPECT_EQ(outcome, JobQueue::PushOutcome::Queued);
    });
    c_waits.get_future().wait();  // behind "b"
    stop_b = true;
    waiting_b.join();
    EXPECT_EQ(q.pop()->request.id, "a");
    waiting_c.join();
    EXPECT_EQ(q.pop()->request.id, "c");
}

TEST(PoolQueue, ManyProducersAndConsumersLoseNothing) {
    JobQueue q(3, 4);
    std::atomic<int> received{0};
    std::vector<std::thread> consumers;
    std::mutex seen_mutex;
    std::set<std::string> seen;
    for (int c = 0; c < 4; ++c) {
        consumers.emplace_back([&] {
            while (auto job = q.pop()) {
                std::lock_guard lock(seen_mutex);
                seen.insert(job->request.id);
                ++received;
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < 5; ++p) {
        producers.emplace_back([&, p] {
            for (int k = 0; k < 200; ++k) {
                auto slot = std::make_shared<detail::ReplySlot>();
                EXPECT_FALSE(
                    q.push(Job{request(std::to_string(p * 1000 + k)), ReplySender(slot)}).has_value());
            }
        });
    }
    for (auto& t : producers) t.join();
    q.close();
    for (auto& t : consumers) t.join();
    EXPECT_EQ(received, 1000);
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(PoolProcesses, ProgramsThatAreNotWorkers) {
    // `cat` echoes the request line: its first four bytes read as a length
    // word far beyond the limit. `true` exits without answering.
    PoolSettings settings;
    settings.workers = 1;
    settings.timeout = *Timeout::from_secs_f64(10);
    settings.worker_exe = "cat";
    auto pool = WorkerPool::create(settings);
    ASSERT_TRUE(pool.ok());
    EXPECT_EQ((*pool)->workers(), 1u);
    auto outcome = (*pool)->run_simulation(request("a"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, NgspiceError::Kind::WorkerCrashed);
    EXPECT_EQ(outcome.error().detail.rfind("stdout read (header) failed: header length ", 0), 0u);

    // `true` ends without reading its input, as a worker that cannot start
    // does: the job hears how it ended, and after three such starts in a row
    // the slot gives up with that reason.
    settings.worker_exe = "true";
    pool = WorkerPool::create(settings);
    std::vector<NgspiceError> errors;
    while (errors.size() < 5 && (errors.empty() || errors.back().kind != NgspiceError::Kind::SendFailed)) {
        outcome = (*pool)->run_simulation(request("b"));
        ASSERT_FALSE(outcome.ok());
        errors.push_back(outcome.error());
    }
    EXPECT_EQ(errors.front().text(), "worker process crashed: worker 0 exited during start-up (exit code 0)");
    EXPECT_EQ(
        errors.back().text(),
        "worker pool send failed: all workers are shut down: worker 0 exited during start-up (exit code 0)");
    EXPECT_LE(errors.size(), 3u);
    EXPECT_EQ((*pool)->run_simulation(request("b")).error().detail, errors.back().detail);

    // A worker that never answers: the time-out, and the process is replaced.
    TempDir dir;
    const std::string silent = dir.touch("silent");
    std::ofstream(silent) << "#!/bin/sh\nexec sleep 30\n";
    ::chmod(silent.c_str(), 0755);
    settings.worker_exe = silent;
    settings.timeout = *Timeout::from_secs_f64(0.2);
    pool = WorkerPool::create(settings);
    outcome = (*pool)->run_simulation(request("c"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().text(), "simulation failed: worker timed out after 0s");
}

TEST(PoolProcesses, WorkersThatCannotStartSayWhy) {
    // What a worker that dies before reading its input said (the end of its
    // standard error, at most about 1000 bytes from a line's start) and how
    // it ended.
    std::string many;
    for (int i = 0; i < 100; ++i) many += fmt::cat("line ", 100 + i, " of the start-up log\n");
    const std::string many_tail = many.substr(many.find("line 166 "));
    const struct {
        std::string script, said;
    } cases[] = {
        {"echo starting >&2; echo 'no libngspice here' >&2; exit 3",
         "(exit code 3): starting\nno libngspice here"},
        {"printf '%s' '" + many + "' >&2; exit 1",
         "(exit code 1): " + many_tail.substr(0, many_tail.size() - 1)},
        {"kill -9 $$", "(killed by signal 9)"},
        {"printf '\\377 bad\\n\\n' >&2; exit 2", "(exit code 2): \xEF\xBF\xBD bad"},
    };
    TempDir dir;
    int n = 0;
    for (const auto& c : cases) {
        const std::string exe = dir.touch(fmt::cat("worker-", n++));
        std::ofstream(exe, std::ios::app) << c.script << "\n";
        ::chmod(exe.c_str(), 0755);
        PoolSettings settings;
        settings.worker_exe = exe;
        auto pool = *WorkerPool::create(settings);
        const auto outcome = pool->run_simulation(request("x"));
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().detail, "worker 0 exited during start-up " + c.said) << c.script;
    }
}

// A worker that appends each request's id to `log` (with its process id when
// `with_pid`) and answers with an empty successful frame carrying that id,
// except that ids matching a `case` pattern first run its command (by
// default "slow-*" ones answer half a second late). `prologue` runs first,
// before any input is read.
std::string logging_worker(const TempDir& dir, const std::string& log,
                           const std::string& special = "slow-*) sleep 0.5 ;;", bool with_pid = false,
                           const std::string& prologue = "") {
    const std::string exe = dir.touch("logging-worker");
    std::ofstream(exe) << "#!/bin/sh\n"
                       << prologue << R"sh(
while IFS= read -r line; do
  id=$(printf '%s' "$line" | sed 's/^{"id":"\([^"]*\)".*/\1/')
  echo "$id)sh" << (with_pid ? " $$" : "")
                       << "\" >> '" << log << R"sh('
  case "$id" in
    )sh" << special << R"sh(
  esac
  h="{\"id\":\"$id\",\"success\":true,\"vecs\":[],\"log\":[]}"
  printf "\\$(printf %03o ${#h})\\000\\000\\000%s" "$h"
done
)sh";
    ::chmod(exe.c_str(), 0755);
    return exe;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Waits until the log holds `count` lines (or 20 s passed); returns them.
std::vector<std::string> await_lines(const std::string& path, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (lines_of(path).size() < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return lines_of(path);
}

TEST(PoolProcesses, ShutdownAbandonsWorkInProgress) {
    // Workers that take a job each and never answer it.
    TempDir dir;
    const std::string log = (dir.path() / "ids").string();
    PoolSettings settings;
    settings.workers = 2;
    settings.worker_exe = logging_worker(dir, log, "*) exec sleep 1000 ;;");
    auto pool = *WorkerPool::create(settings);
    std::vector<ReplyFuture> replies;
    for (int i = 0; i < 5; ++i) replies.push_back(pool->submit(request(std::to_string(i))));
    ASSERT_EQ(await_lines(log, 2).size(), 2u);  // each worker holds one
    const auto start = std::chrono::steady_clock::now();
    pool->shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));  // not the sleep's 1000 s
    for (ReplyFuture& reply : replies) {
        auto outcome = reply.get();
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().detail, "worker task dropped reply sender");
    }
    EXPECT_EQ(pool->run_simulation(request("late")).error().kind, NgspiceError::Kind::SendFailed);
}

TEST(PoolProcesses, JobsWhoseCallerLeftAreDroppedUnrun) {
    TempDir dir;
    const std::string log = (dir.path() / "ids").string();
    PoolSettings settings;
    settings.workers = 1;
    settings.worker_exe = logging_worker(dir, log);
    auto pool = *WorkerPool::create(settings);

    ReplyFuture first = pool->submit(request("slow-first"));
    ASSERT_EQ(await_lines(log, 1), std::vector<std::string>{"slow-first"});  // the worker is busy
    // Four callers leave while their jobs wait in the queue (which they
    // fill); the fifth stays, and gets room only as the others are dropped.
    for (int i = 0; i < 4; ++i) pool->submit(request(fmt::cat("gone-", i)));
    ReplyFuture kept = pool->submit(request("slow-kept"));
    ASSERT_EQ(await_lines(log, 2).back(), "slow-kept");
    // A handle assigned over another one leaves that job's caller.
    ReplyFuture reused = pool->submit(request("replaced"));
    reused = pool->submit(request("last"));
    EXPECT_EQ(first.get()->id, "slow-first");
    EXPECT_EQ(kept.get()->id, "slow-kept");
    EXPECT_EQ(reused.get()->id, "last");
    EXPECT_EQ(lines_of(log), (std::vector<std::string>{"slow-first", "slow-kept", "last"}));

    // A caller gone once its job runs: the job ends normally, and the
    // process answers the next caller with that caller's own reply.
    {
        ReplyFuture running = pool->submit(request("slow-running"));
        ASSERT_EQ(await_lines(log, 4).back(), "slow-running");
    }
    EXPECT_EQ(pool->run_simulation(request("after"))->id, "after");
    EXPECT_EQ(lines_of(log).size(), 5u);
}

TEST(PoolProcesses, AJobThatEndsItsWorkerWhenAbandoned) {
    // A worker that logs "{id} {pid}" and answers, except that it never
    // answers ids "hang-*".
    TempDir dir;
    const std::string log = (dir.path() / "ids").string();
    const std::string exe = logging_worker(dir, log, "hang-*) exec sleep 1000 ;;", true);
    PoolSettings settings;
    settings.workers = 1;
    settings.worker_exe = exe;
    auto pool = *WorkerPool::create(settings);
    const auto pid_of = [](const std::string& line) { return std::stol(line.substr(line.find(' ') + 1)); };

    // The caller leaves while the job runs: the worker is ended and replaced
    // at once, and the next job runs on the new one.
    std::optional<ReplyFuture> hanging = pool->submit(request("hang-1"), {}, OnAbandon::EndWorker);
    ASSERT_TRUE(hanging.has_value());
    ASSERT_EQ(await_lines(log, 1).size(), 1u);
    hanging.reset();
    ReplyFuture next = pool->submit(request("next"));
    ASSERT_TRUE(next.wait_for(std::chrono::seconds(20)));  // not the sleep's 1000 s
    EXPECT_EQ(next.get()->id, "next");
    std::vector<std::string> lines = lines_of(log);
    ASSERT_EQ(lines.size(), 2u);
    const long hung = pid_of(lines[0]), replacement = pid_of(lines[1]);
    EXPECT_NE(hung, replacement);
    EXPECT_NE(::kill(static_cast<pid_t>(hung), 0), 0);

    // A caller that leaves once its reply is in ends nothing.
    {
        std::optional<ReplyFuture> quick = pool->submit(request("quick"), {}, OnAbandon::EndWorker);
        EXPECT_EQ(quick->get()->id, "quick");
    }
    EXPECT_EQ(pool->run_simulation(request("last"))->id, "last");
    lines = lines_of(log);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(pid_of(lines[2]), replacement);
    EXPECT_EQ(pid_of(lines[3]), replacement);
}

TEST(PoolProcesses, WorkerCountsAreChecked) {
    PoolSettings settings;
    settings.worker_exe = "true";
    settings.workers = 0;
    EXPECT_FALSE(WorkerPool::create(settings).ok());
    settings.workers = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(WorkerPool::create(settings).ok());
    settings.workers = kMaxWorkers + 1;
    auto refused = WorkerPool::create(settings);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().text(),
              "ngspice initialization failed: " + *worker_count_problem(kMaxWorkers + 1));
    EXPECT_FALSE(worker_count_problem(1).has_value());
}

TEST(PoolProcesses, MissingProgramExhaustsThePool) {
    PoolSettings settings;
    settings.workers = 2;
    settings.worker_exe = "/nonexistent/worker";
    auto pool = WorkerPool::create(settings);
    ASSERT_TRUE(pool.ok());
    // Until both threads have given up a job may be queued and then dropped;
    // afterwards every send fails.
    std::optional<NgspiceError> last;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        auto outcome = (*pool)->run_simulation(request("x"));
        ASSERT_FALSE(outcome.ok());
        last = outcome.error();
        if (last->kind == NgspiceError::Kind::SendFailed) break;
        EXPECT_EQ(last->detail, "worker task dropped reply sender");
    }
    EXPECT_EQ(last->kind, NgspiceError::Kind::SendFailed);
    EXPECT_EQ(last->detail.rfind("failed to spawn: I/O error: No such file or directory", 9), 9u)
        << last->detail;
}

TEST(PoolQueue, AJobGivenBackGoesFirstAndSurvivesAClose) {
    JobQueue q(1, 2);
    JobMaker make_job;
    EXPECT_FALSE(q.push(make_job("queued")).has_value());
    q.give_back(make_job("back"));  // beyond the capacity: it was accepted already
    EXPECT_EQ(q.pop()->request.id, "back");
    q.close();
    q.give_back(make_job("after-close"));
    EXPECT_EQ(q.pop()->request.id, "after-close");
    EXPECT_EQ(q.pop()->request.id, "queued");
    EXPECT_FALSE(q.pop().has_value());

    // Once the queue has been dropped the job goes with the dropped-reply error.
    JobQueue dropped(1, 1);
    dropped.close_and_drop();
    dropped.give_back(make_job("late"));
    auto outcome = make_job.futures.back().get();
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().detail, "worker task dropped reply sender");
    EXPECT_FALSE(dropped.pop().has_value());
}

namespace {

// Whether `pid` has ended (a zombie waiting for its parent, or gone).
bool ended(pid_t pid) {
    std::ifstream in(fmt::cat("/proc/", pid, "/stat"));
    std::string stat;
    if (!std::getline(in, stat)) return true;
    const std::size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.substr(paren + 2, 1) == "Z";
}

bool await_ended(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ended(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return ended(pid);
}

pid_t pid_in(const std::string& log_line) {
    return static_cast<pid_t>(std::stol(log_line.substr(log_line.find(' ') + 1)));
}

// What calls of one job each saw until one was served, the pool was
// exhausted, or `limit` errors came back.
struct Attempts {
    std::vector<NgspiceError> errors;
    std::optional<SimulationResponse> served;
};

Attempts run_until_served(WorkerPool& pool, std::size_t limit) {
    Attempts a;
    while (!a.served && a.errors.size() < limit) {
        auto outcome = pool.run_simulation(request("job"));
        if (outcome) {
            a.served = *outcome;
        } else {
            a.errors.push_back(outcome.error());
            if (a.errors.back().kind == NgspiceError::Kind::SendFailed) break;
        }
    }
    return a;
}

// A prologue that counts the worker's starts in `starts` and ends the first
// `n` of them with `end`.
std::string ending_starts(const std::string& starts, int n, const std::string& end) {
    return fmt::cat("ulimit -c 0\necho >> '", starts, "'\n[ $(wc -l < '", starts, "') -le ", n, " ] && ", end,
                    "\n");
}

// SIGCHLD ignored while alive, as some hosts have it: the system reaps their
// children, and how a child ended is lost.
class SigchldIgnored {
public:
    SigchldIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGCHLD, &ignore, &saved_);
    }
    ~SigchldIgnored() { ::sigaction(SIGCHLD, &saved_, nullptr); }
    SigchldIgnored(const SigchldIgnored&) = delete;
    SigchldIgnored& operator=(const SigchldIgnored&) = delete;

private:
    struct sigaction saved_ {};
};

}  // namespace

TEST(PoolProcesses, StartUpDeathsCountOnlyWhenTheWorkerEndedItself) {
    // The first five starts of the worker end as the case says; later ones
    // serve. A kill from outside never gives the slot up: a job succeeds once
    // the kills stop. An exit or a fault of its own does, after three.
    // SIGINT ends no worker at all: they start with it blocked.
    const struct {
        std::string end;
        std::string how;
        bool outside;
    } cases[] = {
        {"kill -KILL $$", "killed by signal 9", true},
        {"kill -TERM $$", "killed by signal 15", true},
        {"kill -INT $$", "", true},
        {"kill -HUP $$", "killed by signal 1", true},
        {"kill -QUIT $$", "killed by signal 3", true},
        {"kill -ABRT $$", "killed by signal 6", false},
        {"kill -SEGV $$", "killed by signal 11", false},
        {"exit 1", "exit code 1", false},
        {"exit 0", "exit code 0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        TempDir dir;
        const std::string starts = (dir.path() / "starts").string();
        PoolSettings settings;
        settings.workers = 1;
        settings.worker_exe =
            logging_worker(dir, (dir.path() / "ids").string(), "", false, ending_starts(starts, 5, c.end));
        auto pool = *WorkerPool::create(settings);
        const auto [errors, served] = run_until_served(*pool, 8);
        if (c.how.empty()) {
            EXPECT_TRUE(errors.empty()) << errors.front().text();
            ASSERT_TRUE(served.has_value());
            EXPECT_EQ(lines_of(starts).size(), 1u);
            continue;
        }
        ASSERT_FALSE(errors.empty());
        const std::string said = fmt::cat("worker 0 exited during start-up (", c.how, ")");
        EXPECT_EQ(errors.front().text(), "worker process crashed: " + said);
        if (c.outside) {
            ASSERT_TRUE(served.has_value()) << errors.back().text();
            EXPECT_EQ(served->id, "job");
            for (const NgspiceError& e : errors) EXPECT_EQ(e.kind, NgspiceError::Kind::WorkerCrashed);
            EXPECT_EQ(lines_of(starts).size(), 6u);
        } else {
            EXPECT_FALSE(served.has_value());
            EXPECT_LE(errors.size(), 3u);
            EXPECT_EQ(errors.back().text(), "worker pool send failed: all workers are shut down: " + said);
            EXPECT_EQ(lines_of(starts).size(), 3u);
        }
    }
}

TEST(PoolProcesses, ASlotThatGivesUpHandsItsJobToOneStillServing) {
    if (!fs::exists("/proc/self/stat")) GTEST_SKIP() << "needs /proc";
    // Workers fail to start while `broken` exists; a "hold" job keeps its
    // worker busy until `release` exists.
    TempDir dir;
    const std::string log = (dir.path() / "ids").string();
    const std::string broken = (dir.path() / "broken").string();
    const std::string release = (dir.path() / "release").string();
    const std::string broken_starts = (dir.path() / "broken-starts").string();
    const std::string exe = logging_worker(
        dir, log, fmt::cat("hold) while [ ! -e '", release, "' ]; do sleep 0.01; done ;;"), true,
        fmt::cat("[ -e '", broken, "' ] && { echo >> '", broken_starts,
                 "'; echo 'broken install' >&2; exit 1; }\n"));
    PoolSettings settings;
    settings.workers = 2;
    settings.worker_exe = exe;
    auto pool = *WorkerPool::create(settings);

    // One slot holds its job; the other serves, and its worker is then
    // killed while the install is broken: that slot gives up.
    ReplyFuture hold = pool->submit(request("hold"));
    ASSERT_EQ(await_lines(log, 1).size(), 1u);
    const pid_t holding = pid_in(lines_of(log)[0]);
    ASSERT_EQ(pool->run_simulation(request("first"))->id, "first");
    const pid_t serving = pid_in(lines_of(log)[1]);
    ASSERT_NE(holding, serving);
    std::ofstream(broken).put('\n');
    ::kill(serving, SIGKILL);
    ASSERT_TRUE(await_ended(serving));

    std::vector<ReplyFuture> jobs;
    for (int i = 0; i < 3; ++i) jobs.push_back(pool->submit(request(fmt::cat("job-", i))));
    auto first_error = jobs[0].get();
    ASSERT_FALSE(first_error.ok());
    EXPECT_EQ(first_error.error().detail.substr(first_error.error().detail.find(" exited")),
              " exited during start-up (exit code 1): broken install");
    // The job in the hand of the slot that gave up, and those behind it, go
    // to the slot still serving, not to "exhausted".
    std::ofstream(release).put('\n');
    EXPECT_EQ(hold.get()->id, "hold");
    for (int i = 1; i < 3; ++i) {
        auto outcome = jobs[static_cast<std::size_t>(i)].get();
        if (i == 2 || outcome.ok()) {
            ASSERT_TRUE(outcome.ok()) << outcome.error().text();
            EXPECT_EQ(outcome->id, fmt::cat("job-", i));
        } else {
            EXPECT_EQ(outcome.error().kind, NgspiceError::Kind::WorkerCrashed);
        }
    }
    EXPECT_EQ(lines_of(broken_starts).size(), 3u);
    for (const std::string& line : lines_of(log)) {
        if (line.rfind("job-", 0) == 0) {
            EXPECT_EQ(pid_in(line), holding) << line;
        }
    }

    // Once the last slot gives up, calls hear "exhausted" with its reason.
    ::kill(holding, SIGKILL);
    ASSERT_TRUE(await_ended(holding));
    std::vector<NgspiceError> errors;
    while (errors.size() < 4 && (errors.empty() || errors.back().kind != NgspiceError::Kind::SendFailed)) {
        auto outcome = pool->run_simulation(request("late"));
        ASSERT_FALSE(outcome.ok());
        errors.push_back(outcome.error());
    }
    EXPECT_EQ(errors.back().kind, NgspiceError::Kind::SendFailed);
    EXPECT_LE(errors.size(), 3u);
    const std::string why = errors.back().detail;
    EXPECT_EQ(why.rfind("worker ", 0), 0u) << why;
    EXPECT_EQ(why.substr(why.find(" exited")), " exited during start-up (exit code 1): broken install");
    auto after = pool->run_simulation(request("after"));
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error().text(), errors.back().text());
}

TEST(PoolProcesses, AJobItsWorkerNeverReadRunsOnTheNextOne) {
    // The first three starts are killed from outside before they read
    // anything: the job waits for the fourth and is run once, by it.
    TempDir dir;
    const std::string log = (dir.path() / "ids").string();
    const std::string starts = (dir.path() / "starts").string();
    PoolSettings settings;
    settings.workers = 1;
    settings.worker_exe =
        logging_worker(dir, log, "die-*) kill -KILL $$ ;;", false, ending_starts(starts, 3, "kill -KILL $$"));
    auto pool = *WorkerPool::create(settings);
    const Attempts first = run_until_served(*pool, 4);
    EXPECT_TRUE(first.errors.empty()) << first.errors.front().text();
    EXPECT_EQ(lines_of(starts).size(), 4u);
    // Killed after it read its job, a worker may have run it: the caller
    // hears of the crash, and the job is not run again.
    auto died = pool->run_simulation(request("die-1"));
    ASSERT_FALSE(died.ok());
    EXPECT_EQ(died.error().text(), "worker process crashed: stdout read (header len) failed: early eof");
    EXPECT_EQ(pool->run_simulation(request("after"))->id, "after");
    EXPECT_EQ(lines_of(log), (std::vector<std::string>{"job", "die-1", "after"}));

    // A job is run again at most three times: past that its caller hears why.
    TempDir other;
    const std::string other_starts = (other.path() / "starts").string();
    settings.worker_exe = logging_worker(other, (other.path() / "ids").string(), "", false,
                                         ending_starts(other_starts, 9, "kill -KILL $$"));
    pool = *WorkerPool::create(settings);
    const Attempts storm = run_until_served(*pool, 8);
    ASSERT_TRUE(storm.served.has_value());
    ASSERT_FALSE(storm.errors.empty());
    EXPECT_LE(storm.errors.size(), 2u);
    for (const NgspiceError& e : storm.errors)
        EXPECT_EQ(e.text(), "worker process crashed: worker 0 exited during start-up (killed by signal 9)");
}

TEST(PoolProcesses, WhereExitStatusesAreLostSilentStartUpEndsCountAsKillsForAWhile) {
    const struct {
        int ended;  // starts that end as `end`
        std::string end;
        bool served;
        std::size_t starts;  // starts made in all
        std::string said;
    } cases[] = {
        // Killed from outside: nothing said, and the slot serves afterwards.
        {5, "kill -KILL $$", true, 6, "(ended)"},
        // A broken install says why: given up after three, as ever.
        {1000, "echo 'broken install' >&2; exit 1", false, 3, "(ended): broken install"},
        // One that says nothing is taken for killed 20 times in a row, then
        // given up as well: never started again and again without end.
        {1000, "exit 1", false, 23, "(ended)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        TempDir dir;
        const std::string starts = (dir.path() / "starts").string();
        PoolSettings settings;
        settings.workers = 1;
        settings.worker_exe = logging_worker(dir, (dir.path() / "ids").string(), "", false,
                                             ending_starts(starts, c.ended, c.end));
        const SigchldIgnored ignored;
        auto pool = *WorkerPool::create(settings);
        const Attempts a = run_until_served(*pool, 20);
        ASSERT_FALSE(a.errors.empty());
        const std::string said = "worker 0 exited during start-up " + c.said;
        EXPECT_EQ(a.errors.front().text(), "worker process crashed: " + said);
        EXPECT_EQ(a.served.has_value(), c.served);
        if (!c.served) {
            EXPECT_EQ(a.errors.back().text(), "worker pool send failed: all workers are shut down: " + said);
        }
        EXPECT_EQ(lines_of(starts).size(), c.starts);
    }
}

TEST(PoolProcesses, AWorkersPrivateDirectoryGoesHoweverItEnds) {
    // Each worker is given a directory of its own under TMPDIR (never the
    // one the host inherited). It leaves in it what a worker ended
    // mid-request leaves: a request's directory with its netlist and a link
    // to the kit's directory. However the worker ends, the tree goes; the
    // kit, reached through the link, stays.
    enum class End { Close, Shutdown, Crash, TimeOut };
    for (const End end : {End::Close, End::Shutdown, End::Crash, End::TimeOut}) {
        SCOPED_TRACE(static_cast<int>(end));
        TempDir dir;
        const fs::path tmp = dir.path() / "tmp";
        const fs::path kit = dir.path() / "kit";
        fs::create_directories(tmp);
        fs::create_directories(kit);
        std::ofstream(kit / "models.lib") << "* kept\n";
        const std::string dirs = (dir.path() / "dirs").string();
        EnvGuard env;
        env.set("TMPDIR", tmp.string());
        env.set(kWorkerTempDirVar, kit.string());
        const std::string prologue =
            fmt::cat("echo \"$", kWorkerTempDirVar, "\" >> '", dirs, "'\nreq=\"$", kWorkerTempDirVar,
                     "/morva-req\"\nmkdir \"$req\" && echo t > \"$req/.morva_1_x.cir\" && ln -s '",
                     kit.string(), "' \"$req/.morva_dir\"\n");
        PoolSettings settings;
        settings.workers = 1;
        settings.timeout = *Timeout::from_secs_f64(end == End::TimeOut ? 0.3 : 20);
        settings.worker_exe =
            logging_worker(dir, (dir.path() / "ids").string(),
                           "hang-*) exec sleep 1000 ;;\n    die-*) kill -KILL $$ ;;", false, prologue);
        auto pool = *WorkerPool::create(settings);
        ASSERT_EQ(pool->run_simulation(request("first"))->id, "first");
        const std::vector<std::string> made = lines_of(dirs);
        ASSERT_EQ(made.size(), 1u);
        const fs::path first = made[0];
        EXPECT_EQ(first.parent_path(), tmp);
        EXPECT_TRUE(fs::exists(first / "morva-req" / ".morva_1_x.cir"));
        switch (end) {
            case End::Close: pool.reset(); break;
            case End::Shutdown: {
                ReplyFuture hang = pool->submit(request("hang-1"));
                ASSERT_EQ(await_lines((dir.path() / "ids").string(), 2).size(), 2u);
                pool->shutdown();
                break;
            }
            case End::Crash:
            case End::TimeOut: {
                auto failed = pool->run_simulation(request(end == End::Crash ? "die-1" : "hang-1"));
                ASSERT_FALSE(failed.ok());
                // Replaced: the new worker has a directory of its own.
                ASSERT_EQ(await_lines(dirs, 2).size(), 2u);
                EXPECT_NE(lines_of(dirs)[1], made[0]);
                EXPECT_TRUE(fs::exists(lines_of(dirs)[1]));
                break;
            }
        }
        EXPECT_FALSE(fs::exists(first));
        pool.reset();
        EXPECT_TRUE(fs::is_empty(tmp));
        EXPECT_TRUE(fs::exists(kit / "models.lib"));
    }
}

namespace {

// Claims `path` and removes it in a child process (a process claims one
// directory, once), running `between` in it between the two; whether the
// claim was taken.
bool claim_and_remove_in_child(const std::string& path, const std::function<void()>& between = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool claimed = claim_own_dir(path);
        if (between) between();
        remove_own_dir();
        ::_exit(claimed ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(PoolProcesses, AWorkerRemovesItsOwnDirectoryAndNothingElse) {
    // What a worker whose host is gone removes: the directory named to it,
    // with what a request in progress keeps there (a request directory, its
    // netlist, a link to the kit's directory), the kit left alone; and
    // nothing at all when the name does not lead to such a directory.
    enum class Case { Worker, Relative, OtherName, Link, OpenToOthers, Replaced };
    for (const Case c :
         {Case::Worker, Case::Relative, Case::OtherName, Case::Link, Case::OpenToOthers, Case::Replaced}) {
        SCOPED_TRACE(static_cast<int>(c));
        TempDir dir;
        const fs::path kit = dir.path() / "kit";
        fs::create_directories(kit / "models");
        std::ofstream(kit / "models" / "models.lib") << "* kept\n";
        fs::path own = *make_private_dir(dir.path().string());
        const fs::path request = *make_private_dir(own.string());
        std::ofstream(request / ".morva_1_x.cir") << "t\n.end\n";
        fs::create_directory_symlink(kit, request / ".morva_dir");
        fs::create_directory_symlink(kit, own / "kit-link");
        std::string named = own.string();
        switch (c) {
            case Case::Worker: break;
            case Case::Relative: named = fs::relative(own).string(); break;
            case Case::OtherName:
                named = (dir.path() / "work").string();
                fs::rename(own, named);
                own = named;
                break;
            case Case::Link:
                named = (dir.path() / "morva-AbC123").string();
                fs::create_directory_symlink(own, named);
                break;
            case Case::OpenToOthers: fs::permissions(own, fs::perms::all); break;
            case Case::Replaced: break;
        }
        const fs::path moved = dir.path() / "moved";
        const std::string moved_text = moved.string(), own_text = own.string();
        // Between the claim and the removal: a change of working directory
        // (ngspice's "cd"), which must not redirect a relative name; or a
        // directory of the same name taking the claimed one's place, which
        // is not the directory claimed.
        const std::function<void()> between = [&] {
            if (c == Case::Relative && ::chdir("/") != 0) ::_exit(2);
            if (c != Case::Replaced) return;
            ::rename(own_text.c_str(), moved_text.c_str());
            ::mkdir(own_text.c_str(), 0700);
            ::close(::open((own_text + "/kept").c_str(), O_WRONLY | O_CREAT, 0600));
        };
        const bool claimed = claim_and_remove_in_child(named, between);
        const bool removed = c == Case::Worker || c == Case::Relative;
        EXPECT_EQ(claimed, removed || c == Case::Replaced);
        EXPECT_EQ(fs::exists(own), !removed);
        if (c == Case::Replaced) {
            EXPECT_TRUE(fs::exists(own / "kept"));
            EXPECT_TRUE(fs::exists(moved / "kit-link"));
        } else if (!removed) {
            EXPECT_TRUE(fs::exists(own / request.filename() / ".morva_1_x.cir"));
        }
        EXPECT_TRUE(fs::exists(kit / "models" / "models.lib"));
    }
}
