#include "ngspice/worker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "common/decimal.h"
#include "common/format.h"
#include "common/io.h"
#include "common/text.h"
#include "ngspice/temp_dirs.h"
#include "spice/spice_expr.h"

namespace morva::ngspice {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
}

std::uint64_t as_ns(std::chrono::nanoseconds d) {
    return d.count() < 0 ? 0 : static_cast<std::uint64_t>(d.count());
}

// "{:w.1}" of a duration in milliseconds.
std::string ms_field(std::chrono::nanoseconds d, std::size_t width) {
    std::string text = fmt::fixed(static_cast<double>(d.count()) / 1e6, 1);
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

// Reads standard input line by line.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its line feed (and without a carriage return
    // just before it), or nothing at the end of input.
    Result<std::optional<std::string>, IoError> next() {
        for (;;) {
            const std::size_t nl = buffer_.find('\n', scanned_);
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                scanned_ = 0;
                return finish(std::move(line));
            }
            scanned_ = buffer_.size();
            if (eof_) {
                if (buffer_.empty()) return std::optional<std::string>();
                std::string line = std::move(buffer_);
                buffer_.clear();
                scanned_ = 0;
                return finish(std::move(line));
            }
            // Waiting in poll, not in read: a worker killed while it waits
            // dies before it takes a byte of a request that arrives at the
            // same moment (a read woken by the kill would still take it), so
            // the pool knows the request unrun and runs it elsewhere.
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, -1) < 0) {
                if (errno == EINTR) continue;
                return err(IoError::from_errno(errno));
            }
            char chunk[65536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EINTR) continue;
                return err(IoError::from_errno(errno));
            }
            if (n == 0) {
                eof_ = true;
            } else {
                buffer_.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }

private:
    static Result<std::optional<std::string>, IoError> finish(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!utf8_valid(line)) return err(IoError::from_message("stream did not contain valid UTF-8"));
        return std::optional<std::string>(std::move(line));
    }

    int fd_;
    std::string buffer_;
    std::size_t scanned_ = 0;
    bool eof_ = false;
};

// Frames leave through a private close-on-exec duplicate of standard output;
// standard output itself points at standard error until the loop ends.
class FrameChannel {
public:
    static Result<FrameChannel, NgspiceError> open() {
        FrameChannel ch;
        ch.frames_ = UniqueFd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
        if (!ch.frames_.valid()) return err(NgspiceError::from_io(IoError::from_errno(errno)));
        std::fflush(stdout);
        if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
            return err(NgspiceError::from_io(IoError::from_errno(errno)));
        ch.redirected_ = true;
        return ch;
    }
    FrameChannel(FrameChannel&& o) noexcept
        : frames_(std::move(o.frames_)), redirected_(std::exchange(o.redirected_, false)) {}
    FrameChannel(const FrameChannel&) = delete;
    ~FrameChannel() {
        if (redirected_) {
            std::fflush(stdout);
            ::dup2(frames_.get(), STDOUT_FILENO);
        }
    }
    int fd() const { return frames_.get(); }

private:
    FrameChannel() = default;
    UniqueFd frames_;
    bool redirected_ = false;
};

// The ngspice instance with its callback record; the record keeps its
// address for the life of the loop.
struct Engine {
    Ngspice lib;
    std::unique_ptr<SimState> state;
};

Result<void, NgspiceError> init_engine(Ngspice& lib, SimState* state) {
    const int rc = lib.init(state);
    if (rc != 0) return err(NgspiceError::init(fmt::cat("ngSpice_Init returned ", rc)));
    // One worker per core already fills the machine; ngspice's own OpenMP
    // threads would only oversubscribe it.
    lib.command("set num_threads=1");
    return {};
}

// After a controlled exit ngspice cannot load another circuit (the next load
// crashes the process), so the library is unloaded and loaded afresh, with
// the same callback record.
Result<void, NgspiceError> reload_engine(Engine& engine) {
    const std::string path = engine.lib.path();
    engine.lib.unload();
    MORVA_ASSIGN(engine.lib, Ngspice::load(path));
    engine.state->exit_requested = false;
    return init_engine(engine.lib, engine.state.get());
}

// Commands prefixed "bg_" run in ngspice's own thread, which starts after
// the command has returned. Its callbacks would race this thread, and a run
// still going when "destroy all" comes is cut short or leaves its plot for
// the next request (or crashes it): such a command is let finish first.
bool starts_background_run(std::string_view command) {
    const std::string_view text = trim_whitespace(command);
    return ascii_istarts_with(text, "bg_") && !ascii_iequals(text, "bg_halt");
}

int run_command(Ngspice& lib, const SimState& state, std::string_view command) {
    const std::uint64_t started_before = state.background_started.load(std::memory_order_acquire);
    const int rc = lib.command(command);
    if (rc != 0 || !starts_background_run(command)) return rc;
    // A thread that has not started within the grace time never will.
    const auto start_deadline = Clock::now() + std::chrono::seconds(2);
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        const std::uint64_t started = state.background_started.load(std::memory_order_acquire);
        const std::uint64_t ended = state.background_ended.load(std::memory_order_acquire);
        const bool awaiting_start = started == started_before && Clock::now() < start_deadline;
        if (!awaiting_start && ended >= started) return rc;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

// Whether a vector is wanted by the request's `return_vectors`: absent wants
// all, empty wants none, otherwise an entry must equal the bare or the
// plot-qualified name (ASCII case ignored).
bool wanted(const std::optional<std::vector<std::string>>& filter, std::string_view bare,
            std::string_view qualified = {}) {
    if (!filter) return true;
    for (const std::string& entry : *filter) {
        if (ascii_iequals(entry, bare)) return true;
        if (!qualified.empty() && ascii_iequals(entry, qualified)) return true;
    }
    return false;
}

bool is_const_plot(std::string_view plot) {
    return ascii_iequals(plot, "const") || plot.substr(0, 5) == "const";
}

std::vector<VectorData> harvest(Ngspice& lib, const SimState& state,
                                const std::optional<std::vector<std::string>>& return_vectors) {
    const std::vector<std::string> announced = state.announced_names;
    std::vector<std::string> plots = lib.all_plots();
    std::erase_if(plots, [](const std::string& p) { return is_const_plot(p); });
    std::vector<VectorData> out;
    if (plots.size() >= 2) {
        for (const std::string& plot : plots) {
            lib.command("setplot " + plot);
            for (const std::string& vec : lib.all_vecs(plot)) {
                std::string qualified = fmt::cat(plot, ".", vec);
                if (!wanted(return_vectors, vec, qualified)) continue;
                if (const VectorInfo* info = lib.vec_info(vec)) {
                    out.push_back(extract_vector_data(*info, std::move(qualified)));
                }
            }
        }
        return out;
    }
    for (const std::string& name : announced) {
        if (!wanted(return_vectors, name)) continue;
        if (const VectorInfo* info = lib.vec_info(name)) out.push_back(extract_vector_data(*info, name));
    }
    return out;
}

// Commands whose effect outlives the circuit: interpreter variables,
// aliases, functions, the working directory, loaded code, further circuits,
// the random seed. A request that may have used one is followed by a reload,
// so that the next request does not run under it.
bool changes_interpreter(std::string_view command_line) {
    static constexpr std::string_view kLasting[] = {
        "set", "setcs",  "unset",     "alias", "unalias", "define",  "undefine", "strcmp",
        "cd",  "source", "codemodel", "osdi",  "option",  "options", "setseed",  "circbyline"};
    std::string_view rest = command_line;
    for (;;) {  // ";" separates commands on one line
        const std::size_t semi = rest.find(';');
        std::string word = ascii_lower(first_word(rest.substr(0, semi)));
        if (word.rfind("pre_", 0) == 0) word.erase(0, 4);
        for (std::string_view lasting : kLasting) {
            if (word == lasting) return true;
        }
        if (semi == std::string_view::npos) return false;
        rest.remove_prefix(semi + 1);
    }
}

// The user and pre-commands, and the control lines of the netlist (its
// .control blocks, or all of it for an "*ng_script" deck). Files the netlist
// includes are not looked into.
bool may_change_interpreter(const SimulationRequest& req, std::string_view netlist) {
    for (const std::string& c : req.commands) {
        if (changes_interpreter(c)) return true;
    }
    for (const std::string& c : req.pre_commands) {
        if (c.rfind("chdir:", 0) != 0 && changes_interpreter(c)) return true;
    }
    bool control = ascii_istarts_with(trim_whitespace(netlist), "*ng_script");
    for (std::size_t start = 0; start < netlist.size();) {
        const std::size_t nl = std::min(netlist.find('\n', start), netlist.size());
        const std::string_view text = trim_whitespace(netlist.substr(start, nl - start));
        start = nl + 1;
        if (ascii_istarts_with(text, ".control")) {
            control = true;
        } else if (ascii_istarts_with(text, ".endc")) {
            control = false;
        } else if (control && changes_interpreter(text)) {
            return true;
        }
    }
    return false;
}

// Whether the netlist runs commands of its own as it loads: a .control
// block, or all of it for an "*ng_script" deck.
bool has_control_lines(std::string_view netlist) {
    if (ascii_istarts_with(trim_whitespace(netlist), "*ng_script")) return true;
    for (std::size_t start = 0; start < netlist.size();) {
        const std::size_t nl = std::min(netlist.find('\n', start), netlist.size());
        if (ascii_istarts_with(trim_whitespace(netlist.substr(start, nl - start)), ".control")) return true;
        start = nl + 1;
    }
    return false;
}

// Writes the netlist to a fresh file only this user can read.
Result<void, IoError> write_temp_netlist(const std::string& path, std::string_view text) {
    // The system would stop at the NUL and replace (then delete) whatever
    // file the text before it names.
    if (path.find('\0') != std::string::npos)
        return err(IoError::from_message("file name contained an unexpected NUL byte"));
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    UniqueFd fd(::open(path.c_str(), kFlags, 0600));
    if (!fd.valid() && errno == EEXIST) {
        // Left behind by an earlier process that had this pid.
        ::unlink(path.c_str());
        fd = UniqueFd(::open(path.c_str(), kFlags, 0600));
    }
    if (!fd.valid()) return err(IoError::from_errno(errno));
    if (auto w = write_all(fd.get(), text); !w) {
        ::unlink(path.c_str());
        return w;
    }
    return {};
}

// The name, in a temporary netlist's directory, of the link to the
// directory a request names.
constexpr char kDirLink[] = ".morva_dir";
constexpr char kDirLinkPrefix[] = ".morva_dir/";

// The directory the pool made for this worker, or nothing when it was not
// started by a pool.
std::optional<std::string> pool_temp_dir() {
    const char* dir = std::getenv(kWorkerTempDirVar);
    if (!dir || !*dir) return std::nullopt;
    return std::string(dir);
}

// A fresh directory only this user can enter, for one temporary netlist: the
// directory a request names (a kit's) may be read-only. Made in the pool's
// directory for this worker, which the pool removes if it has to kill the
// worker mid-request; in TMPDIR when there is none (or it is gone).
Result<std::string, IoError> make_request_dir() {
    if (const auto base = pool_temp_dir()) {
        auto dir = make_private_dir(*base);
        if (dir || dir.error().os_code != ENOENT) return dir;
    }
    return make_private_dir(system_temp_dir());
}

// The working directory the worker started in, to return to after each
// request (an ngspice "cd" changes the whole process's).
UniqueFd open_working_directory() {
#ifdef O_PATH
    return UniqueFd(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
#else
    return UniqueFd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#endif
}

class WorkerLoop {
public:
    WorkerLoop(Engine& engine, ByteSink& out, bool bench)
        : engine_(engine), out_(out), bench_(bench), start_dir_(open_working_directory()) {}

    Result<void, NgspiceError> serve(LineReader& in) {
        for (;;) {
            auto line = in.next();
            if (!line) return err(NgspiceError::from_io(line.error()));
            if (!*line) break;
            MORVA_TRY(handle(**line));
        }
        if (bench_ && totals_.n > 0) {
            const std::string text = bench_line(static_cast<long>(::getpid()), totals_);
            (void)write_all(STDERR_FILENO, text);
        }
        return {};
    }

private:
    Result<void, NgspiceError> respond(const std::string& id, bool success,
                                       const std::vector<VectorData>& vectors, std::vector<std::string> log,
                                       std::optional<std::string> error, std::vector<Measure> measures,
                                       const WireTiming& timing) {
        auto w = write_wire_response(out_, id, success, vectors, std::move(log), std::move(error),
                                     std::move(measures), timing);
        if (!w) return err(NgspiceError::from_io(w.error()));
        if (start_dir_.valid()) (void)::fchdir(start_dir_.get());
        if (!success) held_.reset();
        // A request that made ngspice exit leaves it unable to load another
        // circuit, and one that changed the interpreter would pass that on:
        // reload before the next line is read.
        if (engine_.state->exit_requested || std::exchange(reload_due_, false)) {
            held_.reset();
            MORVA_TRY(reload_engine(engine_));
        }
        return {};
    }

    Result<void, NgspiceError> handle(const std::string& line) {
        const auto start = Clock::now();
        WireTiming timing;
        if (trim_whitespace(line).empty()) return {};

        auto decoded = decode_request(line);
        if (!decoded) {
            const std::string text = decoded.error().text();
            timing.parse_ns = as_ns(since(start));
            return respond("unknown", false, {}, {"failed to parse request: " + text}, "parse error: " + text,
                           {}, timing);
        }
        const auto parse_d = since(start);
        timing.parse_ns = as_ns(parse_d);
        totals_.parse += parse_d;
        return serve_request(*decoded, timing);
    }

    // One decoded request, answered on every path: refused, failed to load,
    // or run.
    Result<void, NgspiceError> serve_request(const SimulationRequest& req, WireTiming& timing) {
        SimState& state = *engine_.state;
        state.reset();
        if (req.on_circuit_of) return run_on_held_circuit(req, timing);
        held_.reset();

        const auto precmd_start = Clock::now();
        const std::string_view netlist = trim_end_whitespace(req.netlist);
        if (!has_end_card(netlist)) {
            return respond(req.id, false, {}, {"netlist must end with .end"},
                           "netlist does not end with .end", {}, timing);
        }
        reload_due_ = may_change_interpreter(req, netlist);
        const std::optional<std::string> temp_dir = run_pre_commands(req);
        const auto precmd_d = since(precmd_start);
        timing.precmd_ns = as_ns(precmd_d);
        totals_.precmd += precmd_d;

        // A pre-command that made ngspice exit: the instance cannot load the
        // circuit, so it is replaced first (the exit stays in the log).
        if (state.exit_requested) MORVA_TRY(reload_engine(engine_));
        engine_.lib.command("remcirc");
        const std::size_t load_log = state.log.size();  // what the load itself writes starts here

        const auto circ_start = Clock::now();
        Result<int, std::string> loaded =
            temp_dir ? source_via_private_dir(req.id, netlist, *temp_dir, timing)
                     : Result<int, std::string>(engine_.lib.circ(netlist_lines(netlist)));
        if (!loaded) {
            timing.circ_ns = as_ns(since(circ_start));
            std::vector<std::string> log = state.log;
            log.push_back(loaded.error());
            return respond(req.id, false, {}, std::move(log), std::move(loaded).error(), {}, timing);
        }
        const auto circ_d = since(circ_start);
        timing.circ_ns = as_ns(circ_d);
        totals_.circ += circ_d;
        if (*loaded != 0 || load_wrote_error(netlist, load_log))
            return answer_load_failure(req.id, *loaded, load_log, timing);
        held_ = req.id;
        return run_and_answer(req, timing);
    }

    // Further commands on the circuit the last request loaded, while it is
    // still held: the cost of loading a kit is paid once for both.
    Result<void, NgspiceError> run_on_held_circuit(const SimulationRequest& req, WireTiming& timing) {
        if (!held_ || *held_ != *req.on_circuit_of) {
            const std::string error(kNoCircuitHeld);
            return respond(req.id, false, {}, {error}, error, {}, timing);
        }
        reload_due_ = may_change_interpreter(req, {});
        const auto precmd_start = Clock::now();
        run_pre_commands(req);
        timing.precmd_ns = as_ns(since(precmd_start));
        held_ = req.id;  // a further request names this one
        return run_and_answer(req, timing);
    }

    // Runs the pre-commands. A "chdir:" entry is none: it names the directory
    // the netlist is to be read from.
    std::optional<std::string> run_pre_commands(const SimulationRequest& req) {
        std::optional<std::string> temp_dir;
        for (const std::string& pre : req.pre_commands) {
            if (pre.rfind("chdir:", 0) == 0) {
                temp_dir = pre.substr(6);
            } else {
                run_command(engine_.lib, *engine_.state, pre);
            }
        }
        return temp_dir;
    }

    // Loads the netlist as a file in a private directory (the named one, a
    // kit's, may be read-only), its relative files named as ngspice would
    // find them from a netlist in the named directory. ngspice's return
    // code, or why the file could not be set up.
    Result<int, std::string> source_via_private_dir(const std::string& id, std::string_view netlist,
                                                    const std::string& temp_dir, WireTiming& timing) {
        if (path_has_nul(temp_dir))
            return err(fmt::cat("temp netlist directory ", temp_dir, ": ", nul_in_path_error().text()));
        const auto fs_start = Clock::now();
        auto private_dir = make_request_dir();
        if (!private_dir)
            return err(fmt::cat("failed to create a temporary directory: ", private_dir.error().text()));
        struct RemoveDir {
            const std::string& dir;
            ~RemoveDir() { ::rmdir(dir.c_str()); }
        } remove_dir{*private_dir};
        // A link to the named directory beside the netlist stands for it:
        // ngspice 39 splits a .lib path at blanks, whatever the quotes.
        std::string_view prefix;
        const std::string link = join_path(*private_dir, kDirLink);
        struct RemoveLink {
            const std::string& link;
            bool made = false;
            ~RemoveLink() {
                if (made) ::unlink(link.c_str());
            }
        } remove_link{link};
        if (!temp_dir.empty()) {
            // A relative target would resolve from the link's own directory:
            // it names one under the worker's working directory.
            std::string target = temp_dir;
            if (target.front() != '/') {
                auto cwd = current_directory();
                if (!cwd)
                    return err(fmt::cat("failed to resolve temp netlist directory ", temp_dir, ": ",
                                        cwd.error().text()));
                target = join_path(*cwd, temp_dir);
            }
            if (::symlink(target.c_str(), link.c_str()) != 0)
                return err(fmt::cat("failed to link ", link, " to ", target, ": ",
                                    IoError::from_errno(errno).text()));
            remove_link.made = true;
            prefix = kDirLinkPrefix;
        }
        const std::string path =
            join_path(*private_dir, temp_netlist_name(static_cast<long>(::getpid()), id));
        auto written = write_temp_netlist(path, anchor_relative_files(netlist, prefix));
        if (!written)
            return err(fmt::cat("failed to write temp netlist to ", path, ": ", written.error().text()));
        const auto fs_d = since(fs_start);
        timing.fs_write_ns = as_ns(fs_d);
        totals_.fs_write += fs_d;
        // ngspice splits the command at blanks; single quotes keep a
        // directory with blanks in one word (double quotes do not).
        const bool needs_quotes = path.find_first_of(" \t") != std::string::npos;
        const int load_rc = engine_.lib.command(needs_quotes ? "source '" + path + "'" : "source " + path);
        ::unlink(path.c_str());
        return load_rc;
    }

    // Whether the load wrote an error: ngspice then has no circuit, or none
    // that runs ("circuit not parsed", an include it cannot find, an unknown
    // subcircuit), even where it returned 0. A netlist's own control section
    // runs as it loads: its errors are its commands'.
    bool load_wrote_error(std::string_view netlist, std::size_t load_log) const {
        if (has_control_lines(netlist)) return false;
        const std::vector<std::string>& log = engine_.state->log;
        for (std::size_t k = load_log; k < log.size(); ++k) {
            if (is_error_line(log[k])) return true;
        }
        return false;
    }

    // A circuit ngspice refused, answered without running a command, its log
    // closed by kCircuitRefused. Where ngspice's load failed, the error gives
    // ngspice's own reason (the code alone says nothing); where it wrote an
    // error and returned, the error is that first error.
    Result<void, NgspiceError> answer_load_failure(const std::string& id, int load_rc, std::size_t load_log,
                                                   const WireTiming& timing) {
        const SimState& state = *engine_.state;
        const std::string reason = ngspice_error_lines(std::vector<std::string>(
            state.log.begin() + static_cast<std::ptrdiff_t>(load_log), state.log.end()));
        std::vector<std::string> log = state.log;
        log.emplace_back(kCircuitRefused);
        std::string error = load_rc == 0 && state.first_error ? *state.first_error
                            : reason.empty() ? fmt::cat(kCircuitRefused, " (code ", load_rc, ")")
                                             : fmt::cat(kCircuitRefused, " (ngspice: ", reason, ")");
        return respond(id, false, {}, std::move(log), std::move(error), {}, timing);
    }

    // Runs the request's commands up to the first that fails; true when all
    // ran and none made ngspice exit.
    bool run_commands(const SimulationRequest& req) {
        SimState& state = *engine_.state;
        for (const std::string& command : req.commands) {
            // After an exit request the instance is torn down: nothing more
            // is sent to it but "destroy all".
            if (state.exit_requested) return false;
            const int rc = run_command(engine_.lib, state, command);
            if (rc != 0) {
                std::string message = fmt::cat("command '", command, "' failed with code ", rc);
                state.had_error = true;
                if (!state.first_error) state.first_error = message;
                state.log.push_back(std::move(message));
                return false;
            }
        }
        return !state.exit_requested;
    }

    // Runs the loaded circuit's commands, gathers what they produced, frees
    // the circuit and answers.
    Result<void, NgspiceError> run_and_answer(const SimulationRequest& req, WireTiming& timing) {
        Ngspice& lib = engine_.lib;
        SimState& state = *engine_.state;
        const auto cmd_start = Clock::now();
        const bool commands_ran = run_commands(req);
        const auto cmd_d = since(cmd_start);
        timing.cmd_ns = as_ns(cmd_d);

        const auto harvest_start = Clock::now();
        std::vector<VectorData> vectors;
        if (commands_ran) vectors = harvest(lib, state, req.return_vectors);
        const bool had_error = state.had_error;
        std::vector<Measure> measures = extract_measures(state.log);
        const auto harvest_d = since(harvest_start);
        timing.harvest_ns = as_ns(harvest_d);

        const auto destroy_start = Clock::now();
        lib.command("destroy all");
        const auto destroy_d = since(destroy_start);
        timing.destroy_ns = as_ns(destroy_d);

        const auto write_start = Clock::now();
        MORVA_TRY(respond(req.id, commands_ran && !had_error, vectors, state.log, state.first_error,
                          std::move(measures), timing));
        totals_.cmd += cmd_d;
        totals_.harvest += harvest_d;
        totals_.destroy += destroy_d;
        totals_.write += since(write_start);
        totals_.n += 1;
        return {};
    }

    Engine& engine_;
    ByteSink& out_;
    bool bench_;
    UniqueFd start_dir_;
    bool reload_due_ = false;
    // The id of the request whose circuit is loaded, for requests that run
    // on it; none once another request, a failure or a reload intervened.
    std::optional<std::string> held_;
    BenchTotals totals_;
};

}  // namespace

// ---------------------------------------------------------------------------

bool has_end_card(std::string_view trimmed_netlist) {
    const std::size_t nl = trimmed_netlist.rfind('\n');
    const std::string_view last =
        nl == std::string_view::npos ? trimmed_netlist : trimmed_netlist.substr(nl + 1);
    return ascii_iequals(trim_whitespace(last), ".end");
}

std::vector<std::string> netlist_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string line(text.substr(start, end - start));
        if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.pop_back();
        for (char& c : line) {
            if (c == '\0') c = ' ';
        }
        lines.push_back(std::move(line));
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    return lines;
}

std::string anchor_relative_files(std::string_view netlist, std::string_view prefix) {
    if (prefix.empty()) return std::string(netlist);
    std::string out;
    out.reserve(netlist.size());
    bool control = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = netlist.find('\n', start);
        const std::string_view line = netlist.substr(start, nl == std::string_view::npos ? nl : nl - start);
        std::string_view t = line;
        while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
        if (ascii_istarts_with(t, ".control")) control = true;
        if (ascii_istarts_with(t, ".endc")) control = false;
        std::optional<std::string_view> word;
        if (!control) {
            if (const auto redirect = spice::spice_expr::redirect_target(t))
                word = redirect->file;
            else
                word = spice::spice_expr::include_target(t);
        }
        // ngspice looks in the working directory first, then beside the netlist.
        if (word && !word->empty() && word->front() != '/' && word->front() != '~' &&
            ::access(std::string(*word).c_str(), F_OK) != 0) {
            const std::size_t at = static_cast<std::size_t>(word->data() - line.data());
            out += line.substr(0, at);
            out += prefix;
            out += line.substr(at);
        } else {
            out += line;
        }
        if (nl == std::string_view::npos) break;
        out += '\n';
        start = nl + 1;
    }
    return out;
}

std::string ngspice_error_lines(const std::vector<std::string>& log, std::string_view known) {
    constexpr std::size_t kShown = 5;
    std::vector<std::string_view> shown;
    for (const std::string& entry : log) {
        std::string_view line = entry;
        if (!line.starts_with("stderr ")) continue;
        line = trim_whitespace(line.substr(7));
        // "Command 'remcirc' is ignored.": the worker clears a circuit before
        // each load, also where there is none.
        if (line.empty() || ascii_istarts_with(line, "note") || ascii_istarts_with(line, "warning") ||
            ascii_istarts_with(line, "netlist line no") || ascii_istarts_with(line, "using ") ||
            ascii_istarts_with(line, "circuit:") || ascii_iequals(line, "command 'remcirc' is ignored."))
            continue;
        if (std::find(shown.begin(), shown.end(), line) != shown.end() ||
            known.find(line) != std::string_view::npos)
            continue;
        shown.push_back(line);
        if (shown.size() == kShown) break;
    }
    std::string out;
    for (std::string_view line : shown) out += fmt::cat(out.empty() ? "" : "; ", line);
    return out;
}

std::string temp_netlist_name(long pid, std::string_view id) {
    std::string safe(id);
    for (char& c : safe) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) c = '_';
    }
    return fmt::cat(".morva_", pid, "_", safe, ".cir");
}

bool bench_enabled(const char* value) {
    if (!value || !utf8_valid(value)) return false;
    return std::string_view(value) == "1" || ascii_iequals(value, "true");
}

std::vector<Measure> extract_measures(const std::vector<std::string>& log) {
    std::vector<Measure> out;
    for (const std::string& raw : log) {
        std::string_view line = trim_whitespace(raw);
        if (line.substr(0, 7) == "stdout " || line.substr(0, 7) == "stderr ") line.remove_prefix(7);
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = trim_whitespace(line.substr(0, eq));
        const std::string_view value_text = trim_whitespace(line.substr(eq + 1));
        if (value_text.empty() || value_text.substr(0, 6) == "FAILED") continue;
        const std::optional<double> value = parse_decimal(first_word(value_text));
        if (!value) continue;
        // Names are identifiers: letters, digits and underscores. Characters
        // beyond ASCII count as letters unless they are whitespace.
        bool name_ok = !name.empty();
        for (std::size_t i = 0; name_ok && i < name.size(); ++i) {
            const char c = name[i];
            if (static_cast<unsigned char>(c) < 0x80)
                name_ok =
                    (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            else
                name_ok = whitespace_at(name, i) == 0;
        }
        if (!name_ok) continue;
        out.emplace_back(std::string(name), *value);
    }
    return out;
}

bool is_scale_name(std::string_view name) {
    return ascii_iequals(name, "time") || ascii_iequals(name, "frequency") || ascii_iequals(name, "v-sweep");
}

VectorData extract_vector_data(const VectorInfo& info, std::string name) {
    VectorData v;
    v.is_scale = is_scale_name(name);
    v.name = std::move(name);
    const std::size_t n = info.v_length > 0 ? static_cast<std::size_t>(info.v_length) : 0;
    if (info.v_compdata) {
        std::vector<std::complex<double>> pairs(n);
        v.real.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            pairs[k] = {info.v_compdata[k].cx_real, info.v_compdata[k].cx_imag};
            v.real[k] = info.v_compdata[k].cx_real;
        }
        v.complex = std::move(pairs);
    } else if (info.v_realdata) {
        v.real.assign(info.v_realdata, info.v_realdata + n);
    }
    return v;
}

std::string bench_line(long pid, const BenchTotals& t) {
    const auto total = t.parse + t.precmd + t.circ + t.cmd + t.harvest + t.write + t.destroy;
    return fmt::cat("[worker-bench pid=", pid, "] n=", t.n, " total=", ms_field(total, 8),
                    "ms  parse=", ms_field(t.parse, 6), "  precmd=", ms_field(t.precmd, 6),
                    "  circ=", ms_field(t.circ, 8), "  cmd=", ms_field(t.cmd, 8),
                    "  harvest=", ms_field(t.harvest, 6), "  write=", ms_field(t.write, 6),
                    "  destroy=", ms_field(t.destroy, 6), "  fs_write=", ms_field(t.fs_write, 6), "\n");
}

}  // namespace morva::ngspice

namespace morva::ngspice {

namespace {

// The signals on whose arrival a worker removes its private directory: the
// orphan watch's timer, and those that end it when its host is gone (a
// terminal or a job-control shell hanging up, a service manager's SIGTERM, a
// pipe nobody reads any more). Each blocks the others while its handler runs,
// so that one removal is never cut short by another.
constexpr int kEndSignals[] = {SIGHUP, SIGTERM, SIGQUIT, SIGPIPE};

sigset_t cleanup_signals() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGALRM);
    for (const int sig : kEndSignals) ::sigaddset(&set, sig);
    return set;
}

// A worker whose host died without closing its pipes (SIGKILL, a crash) may be
// deep inside a long ngspice run that never reads standard input again: it
// would run on as an orphan. A timer signal ends the process once it has been
// re-parented, after removing its directory (nobody else will). (PR_SET_PDEATHSIG
// is tied to the spawning thread, not the host process, so it cannot serve
// here.) Not a thread: a process that has ever had a second thread makes the C
// library lock every character ngspice reads through its stdio, which made
// loading a large kit two thirds slower.
pid_t watched_host = 0;  // set once, before the timer starts

void end_if_orphaned() {
    if (::getppid() == watched_host) return;
    remove_own_dir();
    // Leading its own group (as the pool starts it), the worker takes what
    // it started along.
    if (::getpgrp() == ::getpid()) ::kill(0, SIGKILL);
    ::_exit(1);
}

void exit_when_orphaned() {
    watched_host = ::getppid();
    struct sigaction action {};
    action.sa_handler = [](int) {
        const int saved = errno;
        end_if_orphaned();
        errno = saved;
    };
    action.sa_mask = cleanup_signals();
    action.sa_flags = SA_RESTART;  // the work it interrupts goes on
    const itimerval every{{0, 250000}, {0, 250000}};
    if (::sigaction(SIGALRM, &action, nullptr) == 0 && ::setitimer(ITIMER_REAL, &every, nullptr) == 0) return;
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            end_if_orphaned();
        }
    }).detach();
}

// A signal that ends the worker (mid-simulation, too) removes its directory
// first, then ends it as the signal would have. A signal the worker was
// started with ignored stays ignored: Python ignores SIGPIPE, and a write to
// a host that is gone then fails with EPIPE and ends the loop instead.
void remove_dir_on_end_signals() {
    for (const int sig : kEndSignals) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = [](int received) {
            remove_own_dir();
            ::raise(received);  // delivered, with the default action, once the handler returns
        };
        action.sa_mask = cleanup_signals();
        action.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &action, nullptr);
    }
}

// Removes the directory from the loop's own thread, with the signals that
// would do the same held off meanwhile.
void remove_own_dir_now() {
    const sigset_t held = cleanup_signals();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &held, &previous);
    remove_own_dir();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// A host run with its standard error closed ("2>&-") starts the worker
// without descriptor 2: standard output could not be pointed there, and the
// next file opened (the library, a netlist) would take its number and
// receive everything written to standard error. It is given /dev/null.
void ensure_standard_error() {
    if (::fcntl(STDERR_FILENO, F_GETFD) >= 0 || errno != EBADF) return;
    const int fd = ::open("/dev/null", O_WRONLY);
    if (fd < 0 || fd == STDERR_FILENO) return;
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

// The pool starts its workers with SIGINT blocked, from their first
// instruction on, and ends them itself: SIGINT is then ignored for good (a
// pending one is dropped) before it is unblocked. Python's start-up, which
// ran meanwhile, would have turned it into a fatal error, an exit the pool
// takes for a broken install. A worker started otherwise keeps SIGINT as is.
void ignore_interrupts_if_blocked() {
    sigset_t blocked;
    if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0 || sigismember(&blocked, SIGINT) != 1) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGINT, &ignore, nullptr) != 0) return;
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    ::pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
}

}  // namespace

Result<void, NgspiceError> run_worker() {
    ignore_interrupts_if_blocked();
    ensure_standard_error();
    // The directory the pool named: a host that is gone can no longer
    // remove it, so the worker does, however it notices and on every return.
    if (const auto dir = pool_temp_dir()) claim_own_dir(*dir);
    struct RemoveOwnDir {
        ~RemoveOwnDir() { remove_own_dir_now(); }
    } remove_own_dir_at_end;
    remove_dir_on_end_signals();
    exit_when_orphaned();
    MORVA_ASSIGN(Ngspice lib, Ngspice::load());
    Engine engine{std::move(lib), std::make_unique<SimState>()};
    MORVA_TRY(init_engine(engine.lib, engine.state.get()));
    MORVA_ASSIGN(FrameChannel channel, FrameChannel::open());
    BufferedFdWriter out(channel.fd());
    LineReader in(STDIN_FILENO);
    WorkerLoop loop(engine, out, bench_enabled(std::getenv("MORVA_WORKER_BENCH")));
    // Whether its input ended or its answers could not be written, the
    // worker's directory goes with it (the pool may no longer be there to).
    return loop.serve(in);
}

}  // namespace morva::ngspice
