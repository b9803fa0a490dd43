// The ngspice shared library, opened at run time, and the per-worker record
// that its callbacks fill.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "ngspice/error.h"

namespace morva::ngspice {

// Record layouts of ngspice's shared-library interface (sharedspice.h).
struct NgComplex {
    double cx_real;
    double cx_imag;
};

struct VectorInfo {
    char* v_name;
    int v_type;
    short v_flags;
    double* v_realdata;
    NgComplex* v_compdata;
    int v_length;
};

struct VecInfo {
    int number;
    char* vecname;
    bool is_real;
    void* pdvec;
    void* pdvecscale;
};

struct VecInfoAll {
    char* name;
    char* title;
    char* date;
    char* type;
    int veccount;
    VecInfo** vecs;
};

// What the callbacks record during one request. It lives at a fixed address
// for the life of the worker: the library hands that address back to every
// callback.
struct SimState {
    // What `log` may hold, counting each line's text and bookkeeping. A
    // netlist whose .control loop prints without end would otherwise fill the
    // memory before the pool's time-out ends it. Beyond the limit lines are
    // dropped, after one note, except those with a "=" (measure results),
    // which are kept up to twice the limit.
    static constexpr std::size_t kLogLimit = std::size_t{64} << 20;
    static constexpr std::size_t kLineCost = 48;

    std::vector<std::string> log;
    std::size_t log_bytes = 0;
    bool log_full = false;
    std::vector<std::string> announced_names;
    std::optional<std::string> first_error;
    bool had_error = false;
    // ngspice asked to exit (a quit command or a fatal error). After that the
    // library cannot run another circuit until it has been reloaded.
    bool exit_requested = false;
    // Runs of ngspice's background thread that have started and ended, for
    // the life of the worker (the thread reports both).
    std::atomic<std::uint64_t> background_started{0}, background_ended{0};

    // Clears the per-request fields (not `exit_requested`, which the worker
    // clears once it has reloaded the library).
    void reset();
};

// An output line is an error line when it is a "stderr " line that mentions
// "error" (any letter case), says that a run was aborted or that a command is
// unknown, or when it begins with "error" (any case).
bool is_error_line(std::string_view line);

// The callbacks' effects, callable without the library.
void record_output(SimState& state, std::string line);
void record_controlled_exit(SimState& state, int status);
void record_init_data(SimState& state, const VecInfoAll* info);
void record_background_thread(SimState& state, bool not_running);

// The file the worker opens: $NGSPICE_LIBRARY_PATH when set, else the
// platform's name of libngspice.
std::string default_library_path();

class Ngspice {
public:
    // Opens the library (`path`, else `default_library_path()`) and resolves
    // its eight entry points. No partial binding is ever returned.
    static Result<Ngspice, NgspiceError> load(std::optional<std::string> path = std::nullopt);

    Ngspice(Ngspice&& other) noexcept;
    Ngspice& operator=(Ngspice&& other) noexcept;
    Ngspice(const Ngspice&) = delete;
    Ngspice& operator=(const Ngspice&) = delete;
    ~Ngspice();

    const std::string& path() const { return path_; }
    // Closes the library now (a reload must close before it opens again,
    // or the loader would hand back the same instance).
    void unload() { close(); }

    // ngSpice_Init with this worker's callbacks; `state` must outlive the
    // library instance.
    int init(SimState* state);
    // One command line; a line holding a NUL byte is sent as an empty line.
    int command(std::string_view line);
    // Loads a circuit from its lines.
    int circ(const std::vector<std::string>& lines);
    std::vector<std::string> all_plots();
    std::vector<std::string> all_vecs(const std::string& plot);
    // The library's record of a vector of the current plot, or null.
    const VectorInfo* vec_info(const std::string& name);

private:
    Ngspice() = default;
    void close();

    using InitFn = int (*)(int (*)(char*, int, void*), int (*)(char*, int, void*),
                           int (*)(int, bool, bool, int, void*), int (*)(void*, int, int, void*),
                           int (*)(VecInfoAll*, int, void*), int (*)(bool, int, void*), void*);
    InitFn init_ = nullptr;
    int (*command_)(char*) = nullptr;
    VectorInfo* (*get_vec_info_)(char*) = nullptr;
    int (*circ_)(char**) = nullptr;
    char* (*cur_plot_)() = nullptr;
    char** (*all_plots_)() = nullptr;
    char** (*all_vecs_)(char*) = nullptr;
    bool (*running_)() = nullptr;
    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace morva::ngspice
