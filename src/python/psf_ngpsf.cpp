// NgpsfFile: the Python face of a PSFXL companion file.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "common/format.h"
#include "psf/psfxl.h"
#include "python/errors.h"
#include "python/numpy.h"
#include "python/register.h"

namespace morva::python {
namespace {

using psf::psfxl::NgpsfFile;
using psf::psfxl::PsfxlRecord;

struct PyNgpsfFile {
    NgpsfFile file;
};

// Re-raises a pending TypeError of an argument conversion as
// "argument '{name}': {message}"; other exceptions pass unchanged.
[[noreturn]] void raise_argument_error(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        nb::python_error error;
        const std::string message = nb::str(error.value()).c_str();
        error.restore();
        PyErr_Clear();
        throw_py(PyExc_TypeError, std::string("argument '") + name + "': " + message);
    }
    throw nb::python_error();
}

// A str or path-like argument, as the file system's bytes.
std::string path_argument(nb::handle value, const char* name) {
    nb::object fspath = nb::steal(PyOS_FSPath(value.ptr()));
    if (!fspath.is_valid()) raise_argument_error(name);
    nb::object encoded =
        PyBytes_Check(fspath.ptr()) ? fspath : nb::steal(PyUnicode_EncodeFSDefault(fspath.ptr()));
    if (!encoded.is_valid()) raise_argument_error(name);
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &length) != 0) raise_argument_error(name);
    return std::string(data, static_cast<std::size_t>(length));
}

// An int argument as an unsigned 64-bit value (OverflowError when negative
// or too large).
std::uint64_t u64_argument(nb::handle value, const char* name) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) raise_argument_error(name);
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.ptr());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_argument_error(name);
    return result;
}

nb::object decoded_path(const std::string& path) {
    return nb::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

nb::dict record_dict(const PsfxlRecord& record) {
    nb::dict d;
    d["record_id"] = record.record_id;
    d["codec"] = record.codec.name();
    d["payload_start"] = record.payload_start;
    d["payload_end"] = record.payload_end;
    d["self_contained"] = record.decodable();
    if (record.primary) {
        const auto& frame = *record.primary;
        const std::uint64_t stream_start = record.payload_start + frame.offset;
        d["nbytes"] = frame.nbytes;
        d["blocksize"] = frame.blocksize;
        d["cbytes"] = frame.cbytes;
        d["sample_count"] = frame.nbytes / 8;
        d["stream_start"] = stream_start;
        d["stream_end"] = stream_start + frame.data.size();
    }
    return d;
}

template <class T>
T unwrap(Result<T, psf::PsfError>&& result) {
    if (!result) throw_psf_err(result.error());
    return std::move(result).value();
}

}  // namespace

void register_ngpsf(nb::module_& m) {
    nb::class_<PyNgpsfFile>(m, "NgpsfFile",
                            "NgpsfFile(path)\n--\n\n"
                            "A PSFXL companion file read whole into memory: its tags, its data records\n"
                            "and their waveforms decoded from Blosc1/BloscLZ frames.")
        .def(
            "__init__",
            [](PyNgpsfFile* self, nb::handle path) {
                const std::string fs_path = path_argument(path, "path");
                new (self) PyNgpsfFile{unwrap(NgpsfFile::open(fs_path))};
            },
            nb::arg("path"), nb::sig("def __init__(self, path)"))
        .def_prop_ro(
            "path", [](const PyNgpsfFile& self) { return decoded_path(self.file.path()); },
            nb::sig("def path(self)"), "The path given to the constructor.")
        .def_prop_ro(
            "size", [](const PyNgpsfFile& self) { return self.file.size(); }, nb::sig("def size(self)"),
            "The file size in bytes.")
        .def(
            "num_tags", [](const PyNgpsfFile& self) { return self.file.tags().size(); },
            nb::sig("def num_tags(self)"), "Number of ASCII tags in the file.")
        .def(
            "tags",
            [](const PyNgpsfFile& self) {
                nb::list out;
                for (const auto& tag : self.file.tags()) out.append(nb::make_tuple(tag.offset, tag.text));
                return out;
            },
            nb::sig("def tags(self)"), "The tags as (offset, text) pairs, in file order.")
        .def(
            "slice",
            [](const PyNgpsfFile& self, nb::handle start, nb::handle end) {
                const std::uint64_t from = u64_argument(start, "start");
                const std::uint64_t to = u64_argument(end, "end");
                nb::list out;
                for (std::uint8_t byte : unwrap(self.file.slice(from, to))) out.append(byte);
                return out;
            },
            nb::arg("start"), nb::arg("end"), nb::sig("def slice(self, start, end)"),
            "The file bytes from start to end (excluded) as a list of ints.")
        .def(
            "data_record_count", [](const PyNgpsfFile& self) { return self.file.data_record_count(); },
            nb::sig("def data_record_count(self)"),
            "Number of tags whose first field is made of decimal digits.")
        .def(
            "parse_data_records",
            [](const PyNgpsfFile& self) {
                nb::list out;
                for (const PsfxlRecord& record : self.file.parse_data_records())
                    out.append(record_dict(record));
                return out;
            },
            nb::sig("def parse_data_records(self)"),
            ""
            "The data records as dicts (record_id, codec, payload_start, payload_end,\n"
            "self_contained, and for records with a Blosc frame nbytes, blocksize, cbytes,\n"
            "sample_count, stream_start, stream_end).")
        .def(
            "decode_record",
            [](const PyNgpsfFile& self, nb::handle record_id) {
                const std::uint64_t id = u64_argument(record_id, "record_id");
                const auto records = self.file.parse_data_records();
                const PsfxlRecord* record = psf::psfxl::find_record(records, id);
                if (!record) throw_py(PyExc_KeyError, "record 0x" + fmt::hex(id) + " not found");
                return numpy_vector(unwrap(record->decode_values()));
            },
            nb::arg("record_id"), nb::sig("def decode_record(self, record_id)"),
            ""
            "The value stream of the first record with this id as a float64 array\n"
            "(back references and aliases are not followed).")
        .def(
            "decode_waveform",
            [](const PyNgpsfFile& self, nb::handle record_id) {
                const std::uint64_t id = u64_argument(record_id, "record_id");
                auto wave = unwrap(self.file.decode_waveform(id));
                nb::object time = numpy_vector(std::move(wave.time));
                nb::object values = numpy_vector(std::move(wave.values));
                return nb::make_tuple(time, values);
            },
            nb::arg("record_id"), nb::sig("def decode_waveform(self, record_id)"),
            ""
            "The (time, values) float64 arrays of a record, following aliases and\n"
            "taking the time axis of back-referenced records from earlier records.")
        .def(
            "decode_all",
            [](const PyNgpsfFile& self) {
                nb::list out;
                for (auto& [id, values] : self.file.decode_all())
                    out.append(nb::make_tuple(id, numpy_vector(std::move(values))));
                return out;
            },
            nb::sig("def decode_all(self)"),
            ""
            "(record_id, values) for every record whose value stream decodes on its own;\n"
            "records that fail are left out.");
}

}  // namespace morva::python
