// The error of the worker pool and the worker process.
#pragma once

#include <string>
#include <utility>

#include "common/io.h"

namespace morva {

struct NgspiceError {
    enum class Kind {
        Init,
        Simulation,
        WorkerCrashed,
        Serialization,
        Io,
        SendFailed,
        LoadLibrary,
        OutOfMemory
    };

    Kind kind = Kind::Simulation;
    // The payload's own display text (for SendFailed why the workers ended,
    // when known; for Io the I/O error's text).
    std::string detail;
    IoError io;
    // Set when the caller's input was refused before any work (a bad
    // configuration, a model file that cannot serve): Python callers get a
    // ValueError, or for an I/O failure an OSError that is still a
    // RuntimeError, rather than the kind's own exception. The text is the
    // kind's.
    bool refused_input = false;
    // Set when the worker did not answer within the pool's time-out.
    bool timed_out = false;

    static NgspiceError init(std::string t) { return {Kind::Init, std::move(t), {}}; }
    static NgspiceError simulation(std::string t) { return {Kind::Simulation, std::move(t), {}}; }
    static NgspiceError worker_crashed(std::string t) { return {Kind::WorkerCrashed, std::move(t), {}}; }
    static NgspiceError serialization(std::string t) { return {Kind::Serialization, std::move(t), {}}; }
    static NgspiceError from_io(IoError e) {
        std::string t = e.text();
        return {Kind::Io, std::move(t), std::move(e)};
    }
    static NgspiceError send_failed(std::string why = {}) { return {Kind::SendFailed, std::move(why), {}}; }
    static NgspiceError timeout(std::string t) {
        NgspiceError e = simulation(std::move(t));
        e.timed_out = true;
        return e;
    }
    static NgspiceError load_library(std::string t) { return {Kind::LoadLibrary, std::move(t), {}}; }
    static NgspiceError out_of_memory(std::string t) { return {Kind::OutOfMemory, std::move(t), {}}; }
    // The input refused: `why` as a simulation failure, or the I/O failure
    // that made a file unusable.
    static NgspiceError refused(std::string why) { return {Kind::Simulation, std::move(why), {}, true}; }
    static NgspiceError refused(IoError e) {
        NgspiceError r = from_io(std::move(e));
        r.refused_input = true;
        return r;
    }

    std::string text() const {
        switch (kind) {
            case Kind::Init: return "ngspice initialization failed: " + detail;
            case Kind::Simulation: return "simulation failed: " + detail;
            case Kind::WorkerCrashed: return "worker process crashed: " + detail;
            case Kind::Serialization: return "serialization error: " + detail;
            case Kind::Io: return "I/O error: " + detail;
            case Kind::SendFailed:
                return "worker pool send failed: all workers are shut down" +
                       (detail.empty() ? "" : ": " + detail);
            case Kind::LoadLibrary: return "failed to load libngspice: " + detail;
            case Kind::OutOfMemory: return "out of memory: " + detail;
        }
        return detail;
    }
};

}  // namespace morva
