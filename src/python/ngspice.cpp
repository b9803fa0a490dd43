// Python surface of the worker pool: _SimulationPool and _run_worker.
#ifdef __linux__
#include <sched.h>
#endif

#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/format.h"
#include "lut/generate_ngspice.h"
#include "ngspice/pool.h"
#include "ngspice/worker.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/lut.h"
#include "python/register.h"
#include "python/results.h"

namespace morva::python {
namespace {

using ngspice::SimulationOutcome;
using ngspice::SimulationRequest;
using ngspice::WorkerPool;

// Automatic request ids "py-{n}", shared by every pool of the process.
std::atomic<std::uint64_t> sim_counter{0};

std::uint64_t available_parallelism() {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::uint64_t>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// Calls of a pool in progress. At interpreter exit a daemon thread may still
// be inside one, or releasing a pool (see LockReleased): its pool then lives to the end of the
// process, which is no leak to report.
std::atomic<int> calls_in_progress{0};

struct CallInProgress {
    CallInProgress() { calls_in_progress.fetch_add(1); }
    ~CallInProgress() { calls_in_progress.fetch_sub(1); }
    CallInProgress(const CallInProgress&) = delete;
    CallInProgress& operator=(const CallInProgress&) = delete;
};

struct PySimulationPool {
    std::shared_ptr<WorkerPool> pool;
    std::uint64_t workers = 0;
    // What characterisations learned about devices, for the pool's life.
    std::shared_ptr<lut::generate_ngspice::ProbeMemo> memo =
        std::make_shared<lut::generate_ngspice::ProbeMemo>();

    PySimulationPool(std::shared_ptr<WorkerPool> p, std::uint64_t w) : pool(std::move(p)), workers(w) {}
    PySimulationPool(const PySimulationPool&) = delete;
    // Releasing the object ends the pool at once: nothing can be waiting on
    // it (every call holds the object), so queued and running work is
    // abandoned and every worker process ends before this returns. Other
    // Python threads run meanwhile.
    ~PySimulationPool() {
        if (!pool) return;
        if (PyGILState_Check()) {
            // The interpreter may start exiting while the workers end; a
            // daemon thread must not take the lock back then.
            const CallInProgress call;
            LockReleased released(releasing_on_main_thread());
            pool->shutdown();
        } else {
            pool->shutdown();
        }
        pool.reset();
    }

    // Only the finalising thread runs Python code while the interpreter
    // exits, and that is the main thread; otherwise ask (a failed question
    // counts as the main thread: it can take the lock back at any time).
    static bool releasing_on_main_thread() noexcept {
        if (interpreter_exiting()) return true;
        const nb::error_scope pending;  // a release while an exception propagates keeps it
        try {
            return on_main_thread();
        } catch (...) {
            PyErr_Clear();
            return true;
        }
    }
};

// One job of a batch: a (netlist, commands) tuple.
std::pair<std::string, std::vector<std::string>> to_job(nb::handle item) {
    if (!PyTuple_Check(item.ptr())) raise_wrong_type(item, "jobs", "PyTuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(item.ptr());
    if (n != 2)
        throw_py(PyExc_ValueError, fmt::cat("expected tuple of length 2, but got tuple of length ", n));
    return {to_str(PyTuple_GET_ITEM(item.ptr(), 0), "jobs"),
            to_str_list(PyTuple_GET_ITEM(item.ptr(), 1), "jobs")};
}

std::vector<std::pair<std::string, std::vector<std::string>>> to_jobs(nb::handle jobs) {
    return to_list(jobs, "jobs", to_job);
}

void quiet_exit_with_calls_in_progress() {
    static bool registered = false;
    if (registered) return;
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
        if (calls_in_progress.load() > 0) nb::set_leak_warnings(false);
    }));
    registered = true;
}

void init_pool(PySimulationPool* self, nb::handle workers_arg, nb::handle timeout_arg, nb::handle exe_arg,
               nb::handle max_sims_arg) {
    const std::optional<std::uint64_t> workers =
        workers_arg.is_none() ? std::nullopt : std::optional<std::uint64_t>(to_usize(workers_arg, "workers"));
    const double timeout_secs = to_f64(timeout_arg, "timeout_secs");
    std::optional<std::string> worker_exe;
    if (!exe_arg.is_none()) worker_exe = to_str(exe_arg, "worker_exe");
    std::optional<std::uint64_t> max_sims;
    if (!max_sims_arg.is_none()) max_sims = to_usize(max_sims_arg, "max_sims_per_worker");

    // The default stays within what the process can run; a count given is checked.
    const std::uint64_t count =
        workers ? *workers : std::min(available_parallelism(), ngspice::max_workers());
    auto timeout = ngspice::Timeout::from_secs_f64(timeout_secs);
    if (!timeout) throw_py(PyExc_ValueError, timeout.error());
    if (count == 0) throw_py(PyExc_ValueError, "workers must be at least 1");
    if (auto problem = ngspice::worker_count_problem(count)) throw_py(PyExc_ValueError, *problem);
    auto pool = WorkerPool::create({count, *timeout, std::move(worker_exe), max_sims});
    if (!pool) throw_py_err(Error(std::move(pool).error()));
    quiet_exit_with_calls_in_progress();
    new (self) PySimulationPool(std::move(*pool), count);
}

// Queues a request, with the interpreter lock released while the queue is
// full; on the main thread a Ctrl-C meanwhile raises and queues nothing.
ngspice::ReplyFuture submit_interruptibly(WorkerPool& pool, SimulationRequest request, bool main_thread) {
    std::optional<ngspice::ReplyFuture> reply;
    {
        LockReleased released(main_thread);
        reply = pool.submit(std::move(request), main_thread ? interrupted : std::function<bool()>());
    }
    if (!reply) throw nb::python_error();
    return std::move(*reply);
}

// Waits for a reply with the interpreter lock released. The main thread takes
// it back now and then so that Ctrl-C can interrupt the wait; the released
// reply handle then cancels the job unless a worker has already taken it (that
// one runs on and its reply is dropped).
SimulationOutcome wait_interruptibly(ngspice::ReplyFuture& reply, bool main_thread) {
    if (!main_thread) {
        LockReleased released(false);
        return reply.get();
    }
    for (;;) {
        {
            LockReleased released(true);
            if (reply.wait_for(std::chrono::milliseconds(100))) break;
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    return reply.get();
}

nb::object run_one(PySimulationPool& self, nb::handle netlist_arg, nb::handle commands_arg,
                   nb::handle id_arg) {
    SimulationRequest request;
    request.netlist = to_str(netlist_arg, "netlist");
    request.commands = to_str_list(commands_arg, "commands");
    std::optional<std::string> given_id;
    if (!id_arg.is_none()) given_id = to_str(id_arg, "id");
    if (auto problem = ngspice::request_text_problem(request)) throw_py(PyExc_ValueError, *problem);
    request.id = given_id ? std::move(*given_id) : fmt::cat("py-", sim_counter.fetch_add(1));
    std::shared_ptr<WorkerPool> pool = self.pool;
    const CallInProgress call;
    const bool main_thread = on_main_thread();
    ngspice::ReplyFuture reply = submit_interruptibly(*pool, std::move(request), main_thread);
    SimulationOutcome outcome = wait_interruptibly(reply, main_thread);
    if (!outcome) throw_py_err(Error(std::move(outcome).error()));
    return make_simulation_result(std::move(outcome).value());
}

nb::list run_batch(PySimulationPool& self, nb::handle jobs_arg) {
    auto jobs = to_jobs(jobs_arg);
    nb::list results;
    if (jobs.empty()) return results;
    std::vector<SimulationRequest> requests(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        requests[i].netlist = std::move(jobs[i].first);
        requests[i].commands = std::move(jobs[i].second);
        // Refused before any job is sent.
        if (auto problem = ngspice::request_text_problem(requests[i]))
            throw_py(PyExc_ValueError, fmt::cat("jobs[", i, "]: ", *problem));
    }
    // One block of consecutive ids, in input order, whatever other callers do.
    const std::uint64_t first_id = sim_counter.fetch_add(jobs.size());
    std::shared_ptr<WorkerPool> pool = self.pool;
    const CallInProgress call;
    const bool main_thread = on_main_thread();
    std::vector<ngspice::ReplyFuture> pending;
    pending.reserve(jobs.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SimulationRequest& request = requests[i];
        request.id = fmt::cat("py-", first_id + i);
        pending.push_back(submit_interruptibly(*pool, std::move(request), main_thread));
        // Ctrl-C is looked for after every job, not only while the queue
        // stays full: with short jobs room keeps coming, and the whole batch
        // would be queued before the wait noticed. Releasing `pending` then
        // cancels the jobs still queued.
        if (main_thread && PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    std::vector<SimulationOutcome> outcomes;
    outcomes.reserve(pending.size());
    for (ngspice::ReplyFuture& reply : pending) outcomes.push_back(wait_interruptibly(reply, main_thread));
    for (SimulationOutcome& outcome : outcomes) {
        if (!outcome) throw_py_err(Error(std::move(outcome).error()));
    }
    for (SimulationOutcome& outcome : outcomes)
        results.append(make_simulation_result(std::move(outcome).value()));
    return results;
}

constexpr const char* kPoolDoc = R"doc(A pool of ngspice worker processes behind a synchronous API.

Manages N worker processes, each running one ngspice instance, fed from one
bounded job queue by an internal set of threads. Methods block the calling
thread with the interpreter lock released until the answers are in, so
several Python threads may share one pool.

The ``morva`` package wraps this class as ``SimulationPool`` (adding
``close()``, context-manager support and worker discovery that works in
virtual environments); use that instead of this raw class.)doc";

constexpr const char* kRunDoc = R"doc(Runs one simulation and returns its SimulationResult.

``netlist`` is a full SPICE netlist ending with ``.end``; ``commands`` are
ngspice commands run after the circuit is loaded, such as ``["run"]``; ``id``
is an optional correlation ID, generated as ``py-{n}`` when omitted.
A simulation that ngspice reports as failed is a result with ``success``
False; failures of the pool itself (time-out, crashed worker) raise
RuntimeError, and a reply too large for memory MemoryError. An
interrupted call (KeyboardInterrupt) cancels the job if no worker has
started it yet.)doc";

constexpr const char* kBatchDoc = R"doc(Runs many simulations and returns their results in input order.

``jobs`` is a sequence of ``(netlist, commands)`` tuples. Every job is
dispatched at once (the queue's back-pressure permitting) and runs on
whichever worker is free; the results come back in input order, with
consecutive ``py-{n}`` ids. If any job fails in the pool, the exception of
the first failing job (in input order) is raised after all jobs have run.
An interrupted call (KeyboardInterrupt) cancels the jobs that no worker has
started yet; those already running finish and their results are discarded.)doc";

// ---- characterisation (generate_lut) ----

constexpr const char* kGenerateLutDoc = R"doc(Characterises a transistor into a TransistorLut.

Runs the sweeps of ``config`` (a ``LutConfig``) on the pool's workers: one
task per (width, length) pair, each folding every Vgs chunk and Vbs value into
as few ngspice runs as the simulator allows. ``n_chunks`` splits the Vgs sweep
of each task (default: one chunk per started 100 Vgs points). Progress and a
timing breakdown are printed to standard output.

A model the kit does not define, or a size no bin of it holds (as ngspice
bins, under the kit's ``.option scale``), raises ValueError before anything
runs; so does a model that only the library sections of ``model_file``
define when ``model_section`` names none (the message lists them). The cards
of a subcircuit's body serve only that subcircuit's device, with the values
of its instance. A request whose worker crashes or is killed runs again on a
fresh worker, three times at most; one that still fails, or one that times
out, ends the generation with its error (no other request is sent and those
in flight are dropped): a table comes back only when ngspice answered every
request. The pool keeps what it learns about the device (its flattened name,
its small-signal values, the parameters it reports) and its verdict on the
kit while the kit's files stay unchanged; on the first call for a device the
probe asks on the circuit a pair loads for its rows, so that each pair loads
the kit once.)doc";

nb::object generate_lut(PySimulationPool& self, nb::handle config_arg, nb::handle n_chunks_arg) {
    namespace gen = lut::generate_ngspice;
    lut::LutConfig config = to_lut_config(config_arg, "config");
    const std::size_t n_chunks =
        n_chunks_arg.is_none() ? gen::default_chunk_count(config) : to_usize(n_chunks_arg, "n_chunks");
    std::shared_ptr<WorkerPool> pool = self.pool;
    const CallInProgress call;
    std::optional<Result<lut::TransistorLut, NgspiceError>> table;
    if (!on_main_thread()) {
        LockReleased released(false);
        table = gen::generate_lut(n_chunks, std::move(pool), config, {}, self.memo);
    } else {
        // The generation runs on its own thread so that this one can take
        // the interpreter lock now and then for Ctrl-C, which stops it
        // between requests; the KeyboardInterrupt is raised once it is over.
        std::atomic<bool> stop{false};
        std::future<Result<lut::TransistorLut, NgspiceError>> done;
        {
            LockReleased released(true);
            done = std::async(std::launch::async, [&] {
                return gen::generate_lut(
                    n_chunks, std::move(pool), config, [&stop] { return stop.load(); }, self.memo);
            });
        }
        for (;;) {
            {
                LockReleased released(true);
                if (done.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) break;
            }
            if (!stop && PyErr_CheckSignals() != 0) stop = true;  // the exception stays pending
        }
        table = done.get();
        if (stop) throw nb::python_error();
    }
    if (!*table) throw_py_err(Error(std::move(*table).error()));
    return transistor_lut_to_py(std::move(*table).value());
}

// ---- end of characterisation ----

}  // namespace

void register_ngspice(nb::module_& m) {
    nb::class_<PySimulationPool> cls(m, "_SimulationPool", nb::is_final(), kPoolDoc);
    cls.def("__init__", &init_pool, arg("workers") = nb::none(), arg("timeout_secs") = 120.0,
            arg("worker_exe") = nb::none(), arg("max_sims_per_worker") = nb::none(),
            nb::sig("def __init__(self, workers=None, timeout_secs=120.0, worker_exe=None, "
                    "max_sims_per_worker=None) -> None"));
    cls.def("run_simulation", &run_one, arg("netlist"), arg("commands"), arg("id") = nb::none(),
            nb::sig("def run_simulation(self, netlist, commands, id=None) -> SimulationResult"), kRunDoc);
    cls.def("run_simulations_batch", &run_batch, arg("jobs"),
            nb::sig("def run_simulations_batch(self, jobs) -> list[SimulationResult]"), kBatchDoc);
    cls.def("generate_lut", &generate_lut, arg("config"), arg("n_chunks") = nb::none(),
            nb::sig("def generate_lut(self, config, n_chunks=None) -> TransistorLut"), kGenerateLutDoc);
    cls.def("__repr__", [](const PySimulationPool& self) {
        return fmt::cat("SimulationPool(workers=", self.workers, ")");
    });

    m.def(
        "_run_worker",
        []() {
            Result<void, NgspiceError> result = [] {
                LockReleased release;
                return ngspice::run_worker();
            }();
            if (!result) throw_py_err(Error(std::move(result).error()));
        },
        nb::sig("def _run_worker() -> None"),
        "Runs the ngspice worker loop on this process's standard input and output until\n"
        "standard input ends.\n\n"
        "Internal: called by the ``ngspice-worker`` console script that the simulation\n"
        "pool starts; not meant for user code.");
}

}  // namespace morva::python
