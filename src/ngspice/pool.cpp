#include "ngspice/pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "common/format.h"
#include "common/text.h"
#include "ngspice/executor.h"

extern char** environ;

namespace morva::ngspice {

namespace {

using Clock = std::chrono::steady_clock;

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string join(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    if (dir.back() == '/') return fmt::cat(dir, name);
    return fmt::cat(dir, "/", name);
}

// An environment variable read as text: unset when not valid UTF-8.
std::optional<std::string> env_text(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !utf8_valid(value)) return std::nullopt;
    return std::string(value);
}

constexpr const char* kWorkerName = "ngspice-worker";

// Milliseconds for poll until `deadline` (rounded up), or -1 for no deadline.
int poll_timeout_ms(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) return -1;
    const auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool past(const std::optional<Clock::time_point>& deadline) { return deadline && Clock::now() >= *deadline; }

// The outcome of a job given up because its caller left; nobody reads it.
NgspiceError abandoned_error() { return NgspiceError::simulation("job abandoned by its caller"); }

NgspiceError timed_out_error(const Timeout& timeout) {
    return NgspiceError::simulation(
        fmt::cat("worker timed out after ", fmt::fixed(timeout.as_secs_f64(), 0), "s"));
}

// A pipe whose ends are close-on-exec and not among the standard descriptors
// (so that a dup2 onto 0 or 1 in the child always takes effect).
Result<std::pair<UniqueFd, UniqueFd>, IoError> cloexec_pipe() {
    int fds[2];
#ifdef __linux__
    if (::pipe2(fds, O_CLOEXEC) != 0) return err(IoError::from_errno(errno));
#else
    if (::pipe(fds) != 0) return err(IoError::from_errno(errno));
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (UniqueFd& end : ends) {
        if (end.get() > STDERR_FILENO) continue;
        UniqueFd moved(::fcntl(end.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        if (!moved.valid()) return err(IoError::from_errno(errno));
        end = std::move(moved);
    }
    return std::pair<UniqueFd, UniqueFd>(std::move(ends[0]), std::move(ends[1]));
}

}  // namespace

void write_log_line(const std::string& line) {
    const std::string whole = line + "\n";
    (void)write_all(STDERR_FILENO, whole);
}

// ---- discovery ---------------------------------------------------------------

std::optional<std::string> current_executable() {
#ifdef __APPLE__
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string path(size, '\0');
    if (_NSGetExecutablePath(path.data(), &size) != 0) return std::nullopt;
    path.resize(std::strlen(path.c_str()));
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return std::string(resolved);
    return path;
#else
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return std::nullopt;
    path.resize(static_cast<std::size_t>(n));
    return path;
#endif
}

Result<WorkerBinary, NgspiceError> find_worker_binary() {
    if (auto bin = env_text("NGSPICE_WORKER_BIN"); bin && path_exists(*bin)) return WorkerBinary{*bin, {}};
    const std::optional<std::string> exe = current_executable();
    if (exe) {
        const std::size_t slash = exe->rfind('/');
        if (slash != std::string::npos) {
            const std::string candidate = join(exe->substr(0, slash + 1), kWorkerName);
            if (path_exists(candidate)) return WorkerBinary{candidate, {}};
        }
    }
    for (const char* prefix_var : {"VIRTUAL_ENV", "CONDA_PREFIX"}) {
        if (auto prefix = env_text(prefix_var)) {
            const std::string candidate = join(join(*prefix, "bin"), kWorkerName);
            if (path_exists(candidate)) return WorkerBinary{candidate, {}};
        }
    }
    if (const char* path = std::getenv("PATH")) {
        std::string_view rest(path);
        for (;;) {
            const std::size_t colon = rest.find(':');
            const std::string candidate = join(rest.substr(0, colon), kWorkerName);
            if (path_exists(candidate)) return WorkerBinary{candidate, {}};
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    if (auto python = env_text("NGSPICE_WORKER_PYTHON")) {
        return WorkerBinary{*python, {"-c", "import morva._main; morva._main.run_worker()"}};
    }
    if (exe) return WorkerBinary{*exe, {"--worker"}};
    return err(
        NgspiceError::init("could not find 'ngspice-worker' binary. Set the NGSPICE_WORKER_BIN environment "
                           "variable or ensure it is "
                           "on PATH."));
}

// ---- time-outs -----------------------------------------------------------------

Result<Timeout, std::string> Timeout::from_secs_f64(double seconds) {
    constexpr const char* kPrefix = "cannot convert float seconds to Duration: ";
    if (seconds < 0.0) return err(std::string(kPrefix) + "value is negative");
    if (!(seconds < 18446744073709551616.0))
        return err(std::string(kPrefix) + "value is either too big or NaN");
    const double whole = std::floor(seconds);
    Timeout t;
    t.secs = static_cast<std::uint64_t>(whole);
    const double frac = seconds - whole;  // exact
    std::uint64_t nanos = 0;
    if (frac > 0) {
        // frac = m * 2^e exactly; nanos = round(m * 1e9 / 2^-e), ties to even.
        int exp2 = 0;
        const double mant = std::frexp(frac, &exp2);
        const auto m = static_cast<unsigned __int128>(std::ldexp(mant, 53));
        const int shift = 53 - exp2;  // frac = m / 2^shift
        if (shift < 120) {
            const unsigned __int128 scaled = m * 1000000000u;
            const unsigned __int128 q = scaled >> shift;
            const unsigned __int128 r = scaled - (q << shift);
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
            nanos = static_cast<std::uint64_t>(q);
            if (r > half || (r == half && (nanos & 1))) ++nanos;
        }
    }
    if (nanos >= 1000000000u) {
        nanos -= 1000000000u;
        if (t.secs == UINT64_MAX) return err(std::string(kPrefix) + "value is either too big or NaN");
        ++t.secs;
    }
    t.nanos = static_cast<std::uint32_t>(nanos);
    return t;
}

std::optional<Clock::time_point> Timeout::deadline_after(Clock::time_point start) const {
    // Beyond about 30 years the deadline is taken as none: the clock's range
    // ends a few centuries out, and no job waits that long.
    constexpr std::uint64_t kMaxSecs = 1000000000;
    if (secs >= kMaxSecs) return std::nullopt;
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(secs) +
                                                               std::chrono::nanoseconds(nanos));
}

WaitResult wait_fd(int fd, short events, const std::optional<Clock::time_point>& deadline, int stop_fd,
                   int cancel_fd) {
    // poll passes over entries whose descriptor is negative.
    pollfd p[3] = {{fd, events, 0}, {stop_fd, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
    const int r = ::poll(p, 3, poll_timeout_ms(deadline));
    if (r < 0) return errno == EINTR ? WaitResult::Ready : WaitResult::Failed;
    if (p[1].revents) return WaitResult::Stopped;
    if (p[2].revents) return WaitResult::Cancelled;
    return r == 0 ? WaitResult::TimedOut : WaitResult::Ready;
}

// ---- reading a worker's output --------------------------------------------------

Result<std::size_t, IoError> WorkerOutput::read_some(char* dst, std::size_t max) {
    if (max == 0) return std::size_t{0};
    for (;;) {
        if (begin_ < end_) {
            const std::size_t n = std::min(max, end_ - begin_);
            std::memcpy(dst, buffer_.data() + begin_, n);
            begin_ += n;
            return n;
        }
        // Large reads bypass the buffer.
        const bool direct = max >= buffer_.size();
        const ssize_t n =
            direct ? ::read(fd_.get(), dst, max) : ::read(fd_.get(), buffer_.data(), buffer_.size());
        if (n > 0) {
            if (direct) return static_cast<std::size_t>(n);
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return std::size_t{0};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return err(IoError::from_errno(errno));
        // Nothing to read: data that arrived in time has been taken above, so
        // only now is the deadline looked at.
        if (past(deadline_)) {
            timed_out_ = true;
            return err(IoError::from_message("timed out"));
        }
        switch (wait_fd(fd_.get(), POLLIN, deadline_, stop_fd_, cancel_fd_)) {
            case WaitResult::Stopped: return err(IoError::from_message("pool shut down"));
            case WaitResult::Cancelled: cancelled_ = true; return err(IoError::from_message("job abandoned"));
            case WaitResult::Failed: return err(IoError::from_errno(errno));
            default: break;
        }
    }
}

// ---- a worker's standard error ---------------------------------------------------

std::unique_ptr<ErrorEcho> ErrorEcho::start(UniqueFd read_end) {
    auto stop = cloexec_pipe();
    if (!stop) return nullptr;
    std::unique_ptr<ErrorEcho> echo(new ErrorEcho());
    echo->fd_ = std::move(read_end);
    echo->stop_read_ = std::move(stop->first);
    echo->stop_write_ = std::move(stop->second);
    try {
        echo->thread_ = start_quiet_thread([raw = echo.get()] { raw->run(); });
    } catch (const std::exception&) {
        return nullptr;
    }
    return echo;
}

void ErrorEcho::run() {
    // Enough for the last lines of a Python traceback.
    constexpr std::size_t kKeep = 4096;
    char chunk[4096];
    bool stopping = false;
    int reads_after_stop = 0;
    for (;;) {
        pollfd p[2] = {{fd_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
        // Once told to stop, only what is already there is copied.
        const int r = ::poll(p, stopping ? 1 : 2, stopping ? 0 : -1);
        if (r < 0 && errno == EINTR) continue;
        // A descendant that keeps writing must not hold the stop up.
        if (r <= 0 || (stopping && ++reads_after_stop > 16)) break;
        if (!stopping && p[1].revents) {
            stopping = true;
            continue;
        }
        const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        (void)write_all(STDERR_FILENO, std::string_view(chunk, static_cast<std::size_t>(n)));
        std::lock_guard lock(mutex_);
        tail_.append(chunk, static_cast<std::size_t>(n));
        if (tail_.size() > kKeep) tail_.erase(0, tail_.size() - kKeep);
    }
    {
        std::lock_guard lock(mutex_);
        eof_ = true;
    }
    ended_.notify_all();
}

void ErrorEcho::finish(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) return;
    {
        std::unique_lock lock(mutex_);
        ended_.wait_for(lock, grace, [&] { return eof_; });
    }
    const char byte = 1;
    (void)write_all(stop_write_.get(), std::string_view(&byte, 1));
    thread_.join();
}

std::string ErrorEcho::tail() const {
    constexpr std::size_t kShown = 1000;
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = tail_;
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (text.size() > kShown) {
        // From the start of a line where one begins within the bound.
        std::size_t from = text.size() - kShown;
        const std::size_t line = text.find('\n', from);
        if (line != std::string::npos && line + 1 < text.size()) from = line + 1;
        text.erase(0, from);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
    return utf8_lossy(std::move(text));
}

// ---- worker processes --------------------------------------------------------------

Result<WorkerProcess, NgspiceError> WorkerProcess::spawn(const WorkerBinary& command) {
    const auto io_error = [](int code) { return NgspiceError::from_io(IoError::from_errno(code)); };
    // The system would stop at a NUL byte and start another program, or pass
    // other arguments, than the command names.
    const auto has_nul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
    if (has_nul(command.program) || std::any_of(command.args.begin(), command.args.end(), has_nul))
        return err(NgspiceError::from_io(IoError::from_message("nul byte found in provided data")));
    auto in_pipe = cloexec_pipe();
    if (!in_pipe) return err(NgspiceError::from_io(in_pipe.error()));
    auto out_pipe = cloexec_pipe();
    if (!out_pipe) return err(NgspiceError::from_io(out_pipe.error()));
    auto& [child_stdin, parent_stdin] = *in_pipe;
    auto& [parent_stdout, child_stdout] = *out_pipe;
    // Standard error is copied by a thread of its own; without one the child
    // writes to this process's standard error directly.
    auto err_pipe = cloexec_pipe();
    if (!err_pipe) return err(NgspiceError::from_io(err_pipe.error()));
    std::unique_ptr<ErrorEcho> echo = ErrorEcho::start(std::move(err_pipe->first));
    if (!echo) err_pipe->second.reset();

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    struct Cleanup {
        posix_spawn_file_actions_t* actions;
        posix_spawnattr_t* attr;
        ~Cleanup() {
            posix_spawn_file_actions_destroy(actions);
            posix_spawnattr_destroy(attr);
        }
    } cleanup{&actions, &attr};
    posix_spawn_file_actions_adddup2(&actions, child_stdin.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, child_stdout.get(), STDOUT_FILENO);
    if (err_pipe->second.valid())
        posix_spawn_file_actions_adddup2(&actions, err_pipe->second.get(), STDERR_FILENO);
    // The child starts with no blocked signal and default dispositions, not
    // with whatever the host (or this thread) has set.
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> args;
    args.push_back(command.program);
    args.insert(args.end(), command.args.begin(), command.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, command.program.c_str(), &actions, &attr, argv.data(), environ);
    if (rc != 0) return err(io_error(rc));
    err_pipe->second.reset();

    WorkerProcess proc;
    proc.pid_ = pid;
    proc.reaped_ = false;
    proc.stderr_ = std::move(echo);
    proc.stdin_ = std::move(parent_stdin);
    for (int fd : {proc.stdin_.get(), parent_stdout.get()}) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
#ifdef F_SETNOSIGPIPE
    ::fcntl(proc.stdin_.get(), F_SETNOSIGPIPE, 1);
#endif
    proc.stdout_ = std::make_unique<WorkerOutput>(std::move(parent_stdout));
    return proc;
}

WorkerProcess::WorkerProcess(WorkerProcess&& other) noexcept { *this = std::move(other); }

WorkerProcess& WorkerProcess::operator=(WorkerProcess&& other) noexcept {
    if (this != &other) {
        if (!reaped_) retire();
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = std::exchange(other.reaped_, true);
        wait_status_ = std::exchange(other.wait_status_, -1);
        stdin_ = std::move(other.stdin_);
        stdout_ = std::move(other.stdout_);
        stderr_ = std::move(other.stderr_);
        written_ = std::exchange(other.written_, 0);
        answered_ = std::exchange(other.answered_, false);
        unread_asked_ = std::exchange(other.unread_asked_, false);
        stream_broken_ = std::exchange(other.stream_broken_, false);
    }
    return *this;
}

WorkerProcess::~WorkerProcess() {
    if (!reaped_) retire();
}

bool WorkerProcess::has_exited() {
    if (reaped_) return true;
    siginfo_t info{};
    // Looked at without reaping: until it is reaped the child's pid, and so
    // its group's id, stay its own.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        if (info.si_pid == 0) return false;
        end_group_and_reap();
        return true;
    }
    // The query failed (a host that ignores SIGCHLD has its children reaped
    // at once): the pid is not touched again, since it may soon belong to
    // another process.
    reaped_ = true;
    return true;
}

void WorkerProcess::end_group_and_reap() {
    ::kill(-pid_, SIGKILL);
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) wait_status_ = status;
    reaped_ = true;
}

bool WorkerProcess::ended_unread() {
    // One answer per process: a dead process left in place is not counted
    // again at the next job.
    if (std::exchange(unread_asked_, true)) return false;
    if (written_ == 0) return true;
    int left = -1;
    // The bytes still in the pipe: all of them when the child read nothing.
    if (!stdin_.valid() || ::ioctl(stdin_.get(), FIONREAD, &left) != 0) return false;
    return left >= 0 && static_cast<std::uint64_t>(left) == written_;
}

std::string WorkerProcess::end_report() {
    std::string how = "ended";
    if (wait_status_ >= 0 && WIFEXITED(wait_status_)) how = fmt::cat("exit code ", WEXITSTATUS(wait_status_));
    if (wait_status_ >= 0 && WIFSIGNALED(wait_status_))
        how = fmt::cat("killed by signal ", WTERMSIG(wait_status_));
    std::string said;
    if (stderr_) {
        stderr_->finish(std::chrono::milliseconds(500));
        said = stderr_->tail();
    }
    return said.empty() ? fmt::cat("(", how, ")") : fmt::cat("(", how, "): ", said);
}

void WorkerProcess::wait_for_exit(std::chrono::milliseconds grace) {
    // Polling rather than a blocking waitpid: with SIGCHLD ignored by the
    // host, a blocking wait would sit until every child of the process ends.
    const auto deadline = Clock::now() + grace;
    auto pause = std::chrono::microseconds(200);
    while (!has_exited()) {
        if (Clock::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            const auto kill_deadline = Clock::now() + std::chrono::seconds(5);
            while (!has_exited() && Clock::now() < kill_deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

void WorkerProcess::retire(std::chrono::milliseconds grace) {
    stdin_.reset();
    stdout_.reset();
    if (!reaped_) wait_for_exit(grace);
    // The group is gone, so the stream ends at once unless a process that
    // left the group holds it.
    if (stderr_) stderr_->finish(std::chrono::milliseconds(100));
}

void WorkerProcess::kill() {
    if (!reaped_) ::kill(-pid_, SIGKILL);
    retire(std::chrono::milliseconds(0));
}

Result<void, NgspiceError> WorkerProcess::write_line(std::string_view line,
                                                     std::optional<Clock::time_point> deadline,
                                                     const Timeout& timeout, int stop_fd, int cancel_fd) {
    const auto failed = [](const IoError& e) {
        return NgspiceError::worker_crashed(fmt::cat("stdin write failed: ", e.text()));
    };
    while (!line.empty()) {
        const ssize_t n = ::write(stdin_.get(), line.data(), line.size());
        if (n > 0) {
            written_ += static_cast<std::uint64_t>(n);
            line.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) return err(failed(IoError::from_message("failed to write whole buffer")));
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return err(failed(IoError::from_errno(errno)));
        // A worker that stops reading its input must not hold this thread
        // forever: the write shares the job's time-out.
        if (past(deadline)) return err(timed_out_error(timeout));
        switch (wait_fd(stdin_.get(), POLLOUT, deadline, stop_fd, cancel_fd)) {
            case WaitResult::Stopped: return err(failed(IoError::from_message("pool shut down")));
            case WaitResult::Cancelled: return err(abandoned_error());
            case WaitResult::Failed: return err(failed(IoError::from_errno(errno)));
            default: break;
        }
    }
    return {};
}

SimulationOutcome WorkerProcess::run(const SimulationRequest& request, const Timeout& timeout, int stop_fd,
                                     int cancel_fd) {
    MORVA_ASSIGN(const std::string line, encode_request(request));
    if (!stdin_.valid() || !stdout_) {
        stream_broken_ = true;
        return err(NgspiceError::worker_crashed("stdin write failed: worker process already ended"));
    }
    // Until a whole frame has been read the stream is in an unknown state.
    stream_broken_ = true;
    MORVA_TRY(write_line(line, timeout.deadline_after(Clock::now()), timeout, stop_fd, cancel_fd));
    stdout_->set_deadline(timeout.deadline_after(Clock::now()), stop_fd, cancel_fd);
    SimulationOutcome response =
        err(NgspiceError::out_of_memory("the worker's reply does not fit in memory"));
    try {
        response = read_binary_response(*stdout_);
    } catch (const std::bad_alloc&) {
        // The rest of the frame stays unread: the stream is broken.
        return response;
    }
    if (!response && stdout_->timed_out()) return err(timed_out_error(timeout));
    if (!response && stdout_->cancelled()) return err(abandoned_error());
    if (response) {
        stream_broken_ = false;
        answered_ = true;
    }
    return response;
}

// ---- reply channel -------------------------------------------------------------------

ReplySender& ReplySender::operator=(ReplySender&& other) noexcept {
    if (this != &other) {
        if (slot_) send(err(NgspiceError::worker_crashed("worker task dropped reply sender")));
        slot_ = std::move(other.slot_);
    }
    return *this;
}

ReplySender::~ReplySender() {
    if (slot_) send(err(NgspiceError::worker_crashed("worker task dropped reply sender")));
}

void ReplySender::send(SimulationOutcome outcome) {
    if (!slot_) return;
    {
        std::lock_guard lock(slot_->mutex);
        if (!slot_->outcome) slot_->outcome.emplace(std::move(outcome));
    }
    slot_->ready.notify_all();
    slot_.reset();
}

ReplyFuture& ReplyFuture::operator=(ReplyFuture&& other) noexcept {
    if (this != &other) {
        abandon();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

void ReplyFuture::abandon() noexcept {
    if (!slot_) return;
    slot_->caller_gone.store(true, std::memory_order_release);
    if (slot_->on_abandon == OnAbandon::EndWorker) {
        std::lock_guard lock(slot_->mutex);
        // A worker is running the job and has not answered: wake it.
        if (slot_->wake_fd >= 0 && !slot_->outcome) {
            const char byte = 1;
            (void)!::write(slot_->wake_fd, &byte, 1);
        }
    }
    slot_.reset();
}

SimulationOutcome ReplyFuture::get() {
    std::unique_lock lock(slot_->mutex);
    slot_->ready.wait(lock, [&] { return slot_->outcome.has_value(); });
    SimulationOutcome out = std::move(*slot_->outcome);
    return out;
}

bool ReplyFuture::wait_for(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(slot_->mutex);
    return slot_->ready.wait_for(lock, timeout, [&] { return slot_->outcome.has_value(); });
}

bool ReplyFuture::ready() const {
    std::lock_guard lock(slot_->mutex);
    return slot_->outcome.has_value();
}

// ---- job queue ----------------------------------------------------------------------------

std::optional<Job> JobQueue::push(Job job) {
    if (try_push(job, {}) == PushOutcome::Queued) return std::nullopt;
    return job;
}

JobQueue::PushOutcome JobQueue::try_push(Job& job, const std::function<bool()>& give_up) {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = next_send_ticket_++;
    const auto may_go = [&] {
        return closed_ || receivers_ == 0 || (ticket == send_turn_ && jobs_.size() < capacity_);
    };
    while (!may_go()) {
        if (!give_up) {
            not_full_.wait(lock, may_go);
            break;
        }
        if (not_full_.wait_for(lock, std::chrono::milliseconds(100), may_go)) break;
        lock.unlock();
        const bool stop = give_up();
        lock.lock();
        if (stop) {
            // Told to stop, even if room has just come. Those behind this
            // ticket must not wait for it.
            abandoned_send_tickets_.insert(ticket);
            while (abandoned_send_tickets_.erase(send_turn_)) ++send_turn_;
            lock.unlock();
            not_full_.notify_all();
            return PushOutcome::GaveUp;
        }
    }
    if (closed_ || receivers_ == 0) return PushOutcome::Refused;
    jobs_.push_back(std::move(job));
    ++send_turn_;
    while (abandoned_send_tickets_.erase(send_turn_)) ++send_turn_;
    lock.unlock();
    not_full_.notify_all();
    not_empty_.notify_all();
    return PushOutcome::Queued;
}

std::optional<Job> JobQueue::pop() {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = next_recv_ticket_++;
    not_empty_.wait(lock, [&] { return ticket == recv_turn_ && (!jobs_.empty() || closed_); });
    ++recv_turn_;
    std::optional<Job> job;
    if (!jobs_.empty()) {
        job.emplace(std::move(jobs_.front()));
        jobs_.pop_front();
    }
    lock.unlock();
    not_empty_.notify_all();
    not_full_.notify_all();
    return job;
}

void JobQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    not_full_.notify_all();
    not_empty_.notify_all();
}

void JobQueue::close_and_drop() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(jobs_);
    }
    not_full_.notify_all();
    not_empty_.notify_all();
}

std::deque<Job> JobQueue::receiver_gone() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        if (receivers_ > 0) --receivers_;
        if (receivers_ == 0) dropped.swap(jobs_);
    }
    not_full_.notify_all();
    return dropped;
}

// ---- the pool -------------------------------------------------------------------------------

struct WorkerPool::Shared {
    JobQueue queue;
    WorkerBinary command;
    Timeout timeout;
    std::optional<std::uint64_t> max_sims_per_worker;
    // Set by `shutdown`; the stop pipe's read end turns readable with it and
    // wakes every wait on a worker's pipes.
    std::atomic<bool> stopping{false};
    UniqueFd stop_read, stop_write;
    // Why the last worker thread gave up, for the callers that find no
    // worker left.
    std::mutex why_mutex;
    std::string why_exhausted;

    void set_why_exhausted(const std::string& why) {
        std::lock_guard lock(why_mutex);
        why_exhausted = why;
    }
    NgspiceError exhausted() {
        std::lock_guard lock(why_mutex);
        return NgspiceError::send_failed(why_exhausted);
    }

    Shared(std::size_t capacity, std::size_t receivers, WorkerBinary cmd, Timeout t,
           std::optional<std::uint64_t> max)
        : queue(capacity, receivers), command(std::move(cmd)), timeout(t), max_sims_per_worker(max) {}
};

namespace {

// How a worker hears that the caller of the job it runs has left (jobs
// submitted with OnAbandon::EndWorker): a byte in this pipe, whose read end
// the job's waits watch. Both ends are non-blocking; without a pipe (no
// descriptor to be had) such jobs run to their end.
struct WakePipe {
    UniqueFd read, write;

    static WakePipe open() {
        WakePipe pipe;
        auto ends = cloexec_pipe();
        if (!ends) return pipe;
        for (const int fd : {ends->first.get(), ends->second.get()}) {
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return pipe;
        }
        pipe.read = std::move(ends->first);
        pipe.write = std::move(ends->second);
        return pipe;
    }
    void drain() const {
        char bytes[64];
        while (::read(read.get(), bytes, sizeof bytes) > 0) {
        }
    }
};

// While alive, the job's caller leaving wakes its worker through the pipe.
// The caller writes only while the job is registered here, and the pipe is
// drained after it is not: no byte reaches the next job.
class JobWatch {
public:
    JobWatch(const ReplySender& reply, const WakePipe& pipe) : pipe_(pipe) {
        const auto& slot = reply.slot();
        if (!slot || slot->on_abandon != OnAbandon::EndWorker || !pipe.write.valid()) return;
        slot_ = slot;
        std::lock_guard lock(slot_->mutex);
        slot_->wake_fd = pipe.write.get();
    }
    JobWatch(const JobWatch&) = delete;
    JobWatch& operator=(const JobWatch&) = delete;
    ~JobWatch() {
        if (!slot_) return;
        {
            std::lock_guard lock(slot_->mutex);
            slot_->wake_fd = -1;
        }
        pipe_.drain();
    }
    // What the job's waits watch, or -1.
    int cancel_fd() const { return slot_ ? pipe_.read.get() : -1; }

private:
    const WakePipe& pipe_;
    std::shared_ptr<detail::ReplySlot> slot_;
};

// One worker thread: owns its process and serves jobs until the queue is
// closed and empty, or the pool shuts down.
class WorkerTask {
public:
    WorkerTask(std::uint64_t index, std::shared_ptr<WorkerPool::Shared> shared)
        : index_(index), shared_(std::move(shared)) {}

    void run() {
        try {
            serve();
        } catch (const std::exception& e) {
            log(fmt::cat("internal error — ", e.what()));
        } catch (...) {
            log("internal error");
        }
        process_.reset();
        // The last thread to go answers what is still queued with its reason.
        std::deque<Job> left = shared_->queue.receiver_gone();
        if (stopping()) return;
        for (Job& job : left) job.reply.send(err(shared_->exhausted()));
    }

private:
    void log(const std::string& text) const {
        write_log_line(fmt::cat("[pool] worker ", index_, ": ", text));
    }
    bool stopping() const { return shared_->stopping.load(std::memory_order_acquire); }

    void serve() {
        auto first = WorkerProcess::spawn(shared_->command);
        if (!first) {
            log("failed to spawn — " + first.error().text());
            shared_->set_why_exhausted(
                fmt::cat("worker ", index_, " failed to spawn: ", first.error().text()));
            return;
        }
        process_.emplace(std::move(*first));
        count_ = 0;
        wake_ = WakePipe::open();
        for (;;) {
            std::optional<Job> job = shared_->queue.pop();
            if (!job) {
                log("channel closed, exiting");
                process_->retire();
                return;
            }
            // Its caller stopped waiting before any worker took it: not run
            // (the worker's state, its count included, stays as it was).
            if (job->reply.caller_gone()) continue;
            if (!handle(*job)) return;
        }
    }

    // A process that ended without taking a byte of its input died while
    // starting. Counts it (a process that answers resets the count) and
    // returns its report; after kMaxStartFailures in a row the thread gives
    // up instead of starting the same failure again and again.
    static constexpr int kMaxStartFailures = 3;
    std::optional<std::string> note_start_failure() {
        if (process_->answered() || !process_->ended_unread()) return std::nullopt;
        process_->kill();
        ++start_failures_;
        return fmt::cat("worker ", index_, " exited during start-up ", process_->end_report());
    }
    bool giving_up(const std::string& why) {
        if (start_failures_ < kMaxStartFailures) return false;
        log(fmt::cat("exited during start-up ", start_failures_, " times in a row, giving up"));
        shared_->set_why_exhausted(why);
        return true;
    }

    // Runs one job; false when this thread ends (the pool is shutting down,
    // or its worker cannot start). A job's allocation failure is its own
    // error: the worker is replaced as after a crash and the thread goes on.
    bool handle(Job& job) {
        try {
            return handle_job(job);
        } catch (const std::bad_alloc&) {
            job.reply.send(err(NgspiceError::out_of_memory("not enough memory to run the job")));
            // Its stream may stand anywhere: the next job starts a new one.
            process_->kill();
            log("out of memory, worker ended");
            return true;
        }
    }

    // Starts a new process in place of the current one. The old one is
    // killed when its stream cannot be trusted, else retired.
    Result<void, NgspiceError> replace(bool kill_old) {
        if (kill_old) process_->kill();
        MORVA_ASSIGN(WorkerProcess fresh, WorkerProcess::spawn(shared_->command));
        process_->retire();
        *process_ = std::move(fresh);
        count_ = 0;
        return {};
    }

    bool handle_job(Job& job) {
        if (process_->has_exited()) {
            log("detected dead process, respawning");
            if (auto why = note_start_failure(); why && giving_up(*why)) {
                job.reply.send(err(shared_->exhausted()));
                return false;
            }
            if (auto r = replace(false); !r) {
                job.reply.send(err(NgspiceError::worker_crashed(
                    fmt::cat("worker ", index_, " failed to respawn: ", r.error().text()))));
                return true;
            }
        }
        std::optional<SimulationOutcome> ran;
        {
            const JobWatch watch(job.reply, wake_);
            // Its caller left while the process was being checked: not run.
            if (job.reply.caller_gone()) return true;
            ran.emplace(
                process_->run(job.request, shared_->timeout, shared_->stop_read.get(), watch.cancel_fd()));
        }
        SimulationOutcome outcome = std::move(*ran);
        count_ += 1;
        if (stopping()) {
            // Abandoned mid-way, or finished just as the pool went: a reply
            // that arrived whole is still handed over.
            if (outcome) job.reply.send(std::move(outcome));
            if (process_->stream_broken()) process_->kill();
            return false;
        }
        if (!outcome && outcome.error().kind == NgspiceError::Kind::WorkerCrashed) {
            // What a worker that never started says is its reason, not the
            // end of its output.
            const std::optional<std::string> why = note_start_failure();
            if (why) outcome = err(NgspiceError::worker_crashed(*why));
            log("crashed during simulation — " + outcome.error().detail);
            if (why && giving_up(*why)) {
                job.reply.send(err(shared_->exhausted()));
                return false;
            }
            if (auto r = replace(true); r) {
                log("respawned successfully");
            } else {
                log("respawn failed — " + r.error().text());
            }
            job.reply.send(std::move(outcome));
            return true;
        }
        if (outcome) start_failures_ = 0;
        const bool broken = process_->stream_broken();
        job.reply.send(std::move(outcome));
        if (broken) {
            // A late or half-read reply would reach the next caller: the
            // process goes, whatever it is doing (also when the job was
            // abandoned by a caller that wants its worker ended).
            if (auto r = replace(true); !r) log("respawn failed — " + r.error().text());
            return true;
        }
        const auto& max_sims = shared_->max_sims_per_worker;
        if (max_sims && count_ >= *max_sims) {
            log(fmt::cat("reached ", count_, " sims, restarting to reclaim ngspice heap"));
            if (auto r = replace(false); !r) log("proactive restart failed — " + r.error().text());
        }
        return true;
    }

    std::uint64_t index_;
    std::shared_ptr<WorkerPool::Shared> shared_;
    std::optional<WorkerProcess> process_;
    WakePipe wake_;
    std::uint64_t count_ = 0;
    int start_failures_ = 0;
};

}  // namespace

namespace {

// The soft open-file limit, or nothing when there is none or it is unknown.
std::optional<std::uint64_t> open_file_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t workers_within(std::uint64_t file_limit) {
    const std::uint64_t room = file_limit > kHostFds ? file_limit - kHostFds : 0;
    return std::clamp<std::uint64_t>(room / kFdsPerWorker, 1, kMaxWorkers);
}

}  // namespace

std::uint64_t max_workers() {
    const std::optional<std::uint64_t> limit = open_file_limit();
    return limit ? workers_within(*limit) : kMaxWorkers;
}

std::optional<std::string> worker_count_problem(std::uint64_t workers) {
    const std::optional<std::uint64_t> limit = open_file_limit();
    const std::uint64_t bound = limit ? workers_within(*limit) : kMaxWorkers;
    if (workers <= bound) return std::nullopt;
    if (bound < kMaxWorkers)
        return fmt::cat("workers must be at most ", bound, " here: each worker holds ", kFdsPerWorker,
                        " open files and the open-file limit (RLIMIT_NOFILE) is ", *limit, "; got ", workers);
    return fmt::cat("workers must be at most ", kMaxWorkers,
                    " (each worker is a process of its own, served by two threads), got ", workers);
}

Result<std::shared_ptr<WorkerPool>, NgspiceError> WorkerPool::create(PoolSettings settings) {
    if (settings.workers == 0) return err(NgspiceError::init("workers must be at least 1"));
    if (auto problem = worker_count_problem(settings.workers)) return err(NgspiceError::init(*problem));
    WorkerBinary command;
    if (settings.worker_exe) {
        command.program = *settings.worker_exe;
    } else {
        MORVA_ASSIGN(command, find_worker_binary());
    }
    std::shared_ptr<WorkerPool> pool(new WorkerPool(settings.workers));
    const auto workers = static_cast<std::size_t>(settings.workers);
    auto shared = std::make_shared<Shared>(4 * workers, workers, std::move(command), settings.timeout,
                                           settings.max_sims_per_worker);
    auto stop_pipe = cloexec_pipe();
    if (!stop_pipe) return err(NgspiceError::from_io(stop_pipe.error()));
    shared->stop_read = std::move(stop_pipe->first);
    shared->stop_write = std::move(stop_pipe->second);
    pool->shared_ = shared;
    pool->threads_.reserve(std::min<std::size_t>(workers, 4096));
    for (std::size_t i = 0; i < workers; ++i) {
        auto task = std::make_shared<WorkerTask>(i, shared);
        try {
            pool->threads_.push_back(start_quiet_thread([task] { task->run(); }));
        } catch (const std::system_error& e) {
            // Out of threads: this and every later worker never start.
            const std::string why = NgspiceError::from_io(IoError::from_errno(e.code().value())).text();
            write_log_line(fmt::cat("[pool] worker ", i, ": failed to spawn — ", why));
            shared->set_why_exhausted(fmt::cat("worker ", i, " failed to spawn: ", why));
            for (std::size_t k = i; k < workers; ++k) shared->queue.receiver_gone();
            break;
        }
    }
    return pool;
}

bool WorkerPool::forked_copy() const { return ::getpid() != owner_pid_; }

void WorkerPool::join_threads() {
    if (forked_copy()) {
        // The parent's threads do not exist here; their handles are left
        // alone (joining would hang, destroying them would abort).
        new std::vector<std::thread>(std::move(threads_));
        threads_.clear();
        return;
    }
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
}

WorkerPool::~WorkerPool() {
    if (shared_ && !forked_copy()) shared_->queue.close();
    join_threads();
}

void WorkerPool::shutdown() {
    if (forked_copy()) return join_threads();
    if (!shared_->stopping.exchange(true)) {
        const char byte = 1;
        (void)write_all(shared_->stop_write.get(), std::string_view(&byte, 1));
    }
    shared_->queue.close_and_drop();
    join_threads();
}

ReplyFuture WorkerPool::submit(SimulationRequest request) { return *submit(std::move(request), {}); }

std::optional<ReplyFuture> WorkerPool::submit(SimulationRequest request, const std::function<bool()>& give_up,
                                              OnAbandon on_abandon) {
    auto slot = std::make_shared<detail::ReplySlot>();
    slot->on_abandon = on_abandon;
    ReplyFuture future(slot);
    if (forked_copy()) {
        ReplySender(slot).send(err(NgspiceError::send_failed()));
        return future;
    }
    Job job{std::move(request), ReplySender(slot)};
    switch (shared_->queue.try_push(job, give_up)) {
        case JobQueue::PushOutcome::Queued: break;
        case JobQueue::PushOutcome::Refused: job.reply.send(err(shared_->exhausted())); break;
        case JobQueue::PushOutcome::GaveUp: return std::nullopt;
    }
    return future;
}

SimulationOutcome WorkerPool::run_simulation(SimulationRequest request) {
    return submit(std::move(request)).get();
}

}  // namespace morva::ngspice
