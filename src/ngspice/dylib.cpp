#include "ngspice/dylib.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/format.h"
#include "common/text.h"

namespace morva::ngspice {

void SimState::reset() {
    log.clear();
    log_bytes = 0;
    log_full = false;
    announced_names.clear();
    first_error.reset();
    had_error = false;
}

bool is_error_line(std::string_view line) {
    const std::string lower = ascii_lower(line);
    // ngspice gives up on an analysis ("Timestep too small" and the like)
    // without the word error: "simulation(s) aborted" is its only sign. A
    // command it does not know ("rn: no such command available in ngspice")
    // is skipped with no error either.
    if (line.size() >= 7 && line.substr(0, 7) == "stderr " &&
        (lower.find("error") != std::string::npos ||
         lower.find("simulation(s) aborted") != std::string::npos ||
         lower.find(": no such command available in ") != std::string::npos))
        return true;
    return lower.rfind("error", 0) == 0;
}

namespace {

void append_log(SimState& state, std::string line) {
    const std::size_t cost = line.size() + SimState::kLineCost;
    if (state.log_bytes + cost > SimState::kLogLimit) {
        if (!state.log_full) {
            state.log_full = true;
            state.log.push_back(fmt::cat("[log limit of ", SimState::kLogLimit,
                                         " bytes reached: later lines dropped, measure results kept]"));
        }
        const bool measure_like = line.find('=') != std::string::npos;
        if (!measure_like || state.log_bytes + cost > 2 * SimState::kLogLimit) return;
    }
    state.log_bytes += cost;
    state.log.push_back(std::move(line));
}

}  // namespace

void record_output(SimState& state, std::string line) {
    if (is_error_line(line)) {
        state.had_error = true;
        if (!state.first_error) state.first_error = line;
    }
    append_log(state, std::move(line));
}

void record_controlled_exit(SimState& state, int status) {
    std::string message = fmt::cat("ngspice requested controlled exit with status ", status);
    state.had_error = true;
    state.exit_requested = true;
    if (!state.first_error) state.first_error = message;
    state.log.push_back(std::move(message));
}

void record_init_data(SimState& state, const VecInfoAll* info) {
    state.announced_names.clear();
    if (!info || !info->vecs) return;
    for (int k = 0; k < info->veccount; ++k) {
        const VecInfo* vec = info->vecs[k];
        if (vec && vec->vecname) state.announced_names.push_back(utf8_lossy(vec->vecname));
    }
}

void record_background_thread(SimState& state, bool not_running) {
    (not_running ? state.background_ended : state.background_started).fetch_add(1, std::memory_order_release);
}

namespace {

// The callbacks. They never let an exception reach the library: one that
// cannot be handled (exhausted memory) ends the process through noexcept.
int on_send_char(char* text, int /*id*/, void* user) noexcept {
    if (user && text) record_output(*static_cast<SimState*>(user), utf8_lossy(text));
    return 0;
}
int on_send_stat(char* /*text*/, int /*id*/, void* /*user*/) noexcept { return 0; }
int on_controlled_exit(int status, bool /*immediate*/, bool /*quit*/, int /*id*/, void* user) noexcept {
    if (user) record_controlled_exit(*static_cast<SimState*>(user), status);
    return 0;
}
int on_send_data(void* /*values*/, int /*count*/, int /*id*/, void* /*user*/) noexcept { return 0; }
int on_send_init_data(VecInfoAll* info, int /*id*/, void* user) noexcept {
    if (user && info) record_init_data(*static_cast<SimState*>(user), info);
    return 0;
}
int on_bg_thread_running(bool not_running, int /*id*/, void* user) noexcept {
    if (user) record_background_thread(*static_cast<SimState*>(user), not_running);
    return 0;
}

#ifdef __APPLE__
constexpr const char* kDefaultLibrary = "libngspice.0.dylib";
#else
constexpr const char* kDefaultLibrary = "libngspice.so.0";
#endif

std::string dl_error_text() {
    const char* e = dlerror();
    return e ? utf8_lossy(e) : std::string("unknown dynamic loader error");
}

std::vector<std::string> read_c_string_list(char** list) {
    std::vector<std::string> out;
    if (!list) return out;
    for (char** p = list; *p; ++p) out.push_back(utf8_lossy(*p));
    return out;
}

// A NUL-terminated copy for the library; text holding a NUL byte becomes an
// empty line.
std::string c_line(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) return {};
    return std::string(line);
}

}  // namespace

std::string default_library_path() {
    const char* env = std::getenv("NGSPICE_LIBRARY_PATH");
    if (env && utf8_valid(env)) return env;
    return kDefaultLibrary;
}

Result<Ngspice, NgspiceError> Ngspice::load(std::optional<std::string> path) {
    Ngspice lib;
    lib.path_ = path ? *path : default_library_path();
    dlerror();
    lib.handle_ = dlopen(lib.path_.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!lib.handle_) return err(NgspiceError::load_library(dl_error_text()));
    bool ok = true;
    std::string failure;
    const auto resolve = [&](auto& fn, const char* name) {
        if (!ok) return;
        dlerror();
        void* sym = dlsym(lib.handle_, name);
        if (!sym) {
            ok = false;
            failure = dl_error_text();
            return;
        }
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(sym);
    };
    resolve(lib.init_, "ngSpice_Init");
    resolve(lib.command_, "ngSpice_Command");
    resolve(lib.get_vec_info_, "ngGet_Vec_Info");
    resolve(lib.circ_, "ngSpice_Circ");
    resolve(lib.cur_plot_, "ngSpice_CurPlot");
    resolve(lib.all_plots_, "ngSpice_AllPlots");
    resolve(lib.all_vecs_, "ngSpice_AllVecs");
    resolve(lib.running_, "ngSpice_running");
    if (!ok) return err(NgspiceError::load_library(failure));  // `lib` closes the handle
    return lib;
}

Ngspice::Ngspice(Ngspice&& other) noexcept { *this = std::move(other); }

Ngspice& Ngspice::operator=(Ngspice&& other) noexcept {
    if (this != &other) {
        close();
        init_ = std::exchange(other.init_, nullptr);
        command_ = std::exchange(other.command_, nullptr);
        get_vec_info_ = std::exchange(other.get_vec_info_, nullptr);
        circ_ = std::exchange(other.circ_, nullptr);
        cur_plot_ = std::exchange(other.cur_plot_, nullptr);
        all_plots_ = std::exchange(other.all_plots_, nullptr);
        all_vecs_ = std::exchange(other.all_vecs_, nullptr);
        running_ = std::exchange(other.running_, nullptr);
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

Ngspice::~Ngspice() { close(); }

void Ngspice::close() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

int Ngspice::init(SimState* state) {
    return init_(on_send_char, on_send_stat, on_controlled_exit, on_send_data, on_send_init_data,
                 on_bg_thread_running, state);
}

int Ngspice::command(std::string_view line) {
    std::string copy = c_line(line);
    return command_(copy.data());
}

int Ngspice::circ(const std::vector<std::string>& lines) {
    std::vector<std::string> copies;
    copies.reserve(lines.size());
    std::vector<char*> pointers;
    pointers.reserve(lines.size() + 1);
    for (const auto& line : lines) {
        copies.push_back(line);
        pointers.push_back(copies.back().data());
    }
    pointers.push_back(nullptr);
    return circ_(pointers.data());
}

std::vector<std::string> Ngspice::all_plots() { return read_c_string_list(all_plots_()); }

std::vector<std::string> Ngspice::all_vecs(const std::string& plot) {
    std::string copy = c_line(plot);
    return read_c_string_list(all_vecs_(copy.data()));
}

const VectorInfo* Ngspice::vec_info(const std::string& name) {
    std::string copy = c_line(name);
    return get_vec_info_(copy.data());
}

}  // namespace morva::ngspice
