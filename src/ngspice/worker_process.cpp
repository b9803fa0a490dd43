#include "ngspice/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
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
#include <new>
#include <thread>

#include "common/format.h"
#include "common/task_set.h"
#include "common/text.h"
#include "ngspice/temp_dirs.h"

extern char** environ;

namespace morva::ngspice {

namespace {

using Clock = std::chrono::steady_clock;

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
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
    return NgspiceError::timeout(
        fmt::cat("worker timed out after ", fmt::fixed(timeout.as_secs_f64(), 0), "s"));
}

}  // namespace

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
            const std::string candidate = join_path(exe->substr(0, slash + 1), kWorkerName);
            if (path_exists(candidate)) return WorkerBinary{candidate, {}};
        }
    }
    for (const char* prefix_var : {"VIRTUAL_ENV", "CONDA_PREFIX"}) {
        if (auto prefix = env_text(prefix_var)) {
            const std::string candidate = join_path(join_path(*prefix, "bin"), kWorkerName);
            if (path_exists(candidate)) return WorkerBinary{candidate, {}};
        }
    }
    if (const char* path = std::getenv("PATH")) {
        std::string_view rest(path);
        for (;;) {
            const std::size_t colon = rest.find(':');
            const std::string candidate = join_path(rest.substr(0, colon), kWorkerName);
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
    // Only the tail is read from now on: the descriptors go at once, not
    // when the process that owns this copier is replaced.
    fd_.reset();
    stop_read_.reset();
    stop_write_.reset();
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
    // The child starts with default dispositions, not with whatever the host
    // (or this thread) has set, and with SIGINT alone blocked: the pool ends
    // its workers itself, and a worker ignores SIGINT once it can (see
    // run_worker). Until then one stays pending instead of ending the
    // worker's start-up half-way.
    sigset_t interrupt, all;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &interrupt);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> args;
    args.push_back(command.program);
    args.insert(args.end(), command.args.begin(), command.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The worker's private directory, named in its environment (in place of
    // any the host inherited). Without one the worker uses TMPDIR itself.
    auto temp_dir = make_private_dir(system_temp_dir());
    const std::string temp_prefix = fmt::cat(kWorkerTempDirVar, "=");
    std::string temp_var = temp_dir ? temp_prefix + *temp_dir : std::string();
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) {
        if (!std::string_view(*entry).starts_with(temp_prefix)) envp.push_back(*entry);
    }
    if (temp_dir) envp.push_back(temp_var.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, command.program.c_str(), &actions, &attr, argv.data(), envp.data());
    if (rc != 0) {
        if (temp_dir) remove_tree(*temp_dir);
        return err(io_error(rc));
    }
    err_pipe->second.reset();

    WorkerProcess proc;
    proc.pid_ = pid;
    if (temp_dir) proc.temp_dir_ = std::move(*temp_dir);
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
        if (!reaped_ || !temp_dir_.empty()) retire();
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
        killed_here_ = std::exchange(other.killed_here_, false);
        job_start_ = std::exchange(other.job_start_, 0);
        temp_dir_ = std::exchange(other.temp_dir_, std::string());
    }
    return *this;
}

WorkerProcess::~WorkerProcess() {
    if (!reaped_ || !temp_dir_.empty()) retire();
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
    // Every request before this one was read whole (it was answered), so
    // the pipe holds only what the child has not taken of this one.
    const std::uint64_t sent = written_ - job_start_;
    if (sent == 0) return true;
    int left = -1;
    // The bytes still in the pipe: all of them when the child read nothing.
    if (!stdin_.valid() || ::ioctl(stdin_.get(), FIONREAD, &left) != 0) return false;
    return left >= 0 && static_cast<std::uint64_t>(left) == sent;
}

std::string WorkerProcess::error_tail() {
    if (!stderr_) return {};
    stderr_->finish(std::chrono::milliseconds(500));
    return stderr_->tail();
}

std::string WorkerProcess::end_report() {
    std::string how = "ended";
    if (wait_status_ >= 0 && WIFEXITED(wait_status_)) how = fmt::cat("exit code ", WEXITSTATUS(wait_status_));
    if (wait_status_ >= 0 && WIFSIGNALED(wait_status_))
        how = fmt::cat("killed by signal ", WTERMSIG(wait_status_));
    const std::string said = error_tail();
    return said.empty() ? fmt::cat("(", how, ")") : fmt::cat("(", how, "): ", said);
}

bool WorkerProcess::said_nothing() { return error_tail().empty(); }

bool WorkerProcess::killed_from_outside() const {
    if (!reaped_ || killed_here_ || wait_status_ < 0 || !WIFSIGNALED(wait_status_)) return false;
    switch (WTERMSIG(wait_status_)) {
        case SIGKILL:
        case SIGTERM:
        case SIGINT:
        case SIGHUP:
        case SIGQUIT: return true;
        default: return false;
    }
}

void WorkerProcess::wait_for_exit(std::chrono::milliseconds grace) {
    // Polling rather than a blocking waitpid: with SIGCHLD ignored by the
    // host, a blocking wait would sit until every child of the process ends.
    const auto deadline = Clock::now() + grace;
    auto pause = std::chrono::microseconds(200);
    while (!has_exited()) {
        if (Clock::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            killed_here_ = true;
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
    // A worker ended mid-request leaves that request's directory behind.
    if (!temp_dir_.empty()) remove_tree(std::exchange(temp_dir_, std::string()));
}

void WorkerProcess::kill() {
    // A child that has ended already keeps the status it ended with.
    if (!has_exited()) {
        ::kill(-pid_, SIGKILL);
        killed_here_ = true;
    }
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
    job_start_ = written_;
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

}  // namespace morva::ngspice
