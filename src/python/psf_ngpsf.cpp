// NgpsfFile: the Python face of a PSFXL companion file.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/io.h"
#include "psf/file.h"
#include "psf/psfxl.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy.h"
#include "python/register.h"
#include "viewer/state.h"
#include "viewer/strip_chart.h"

namespace morva::python {
namespace {

using psf::psfxl::NgpsfFile;
using psf::psfxl::PsfxlRecord;

struct PyNgpsfFile {
    NgpsfFile file;
};

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

// The companion file at `path`, or the Python exception naming it.
NgpsfFile open_named(const std::string& path) {
    auto opened = NgpsfFile::open(path);
    if (!opened) throw_psf_err(opened.error(), path, "reading PSFXL file");
    return std::move(opened).value();
}

// ---- HTML strip charts and the HTTP viewer --------------------------------

void add_viewer_methods(nb::class_<PyNgpsfFile>& cls) {
    cls.def(
        "plot_records_html",
        [](const PyNgpsfFile& self, nb::handle record_ids, nb::handle html_path, nb::handle names,
           nb::handle title) {
            const std::vector<std::uint64_t> ids =
                to_list(record_ids, "record_ids", [](nb::handle item) { return to_u64(item, "record_ids"); });
            const std::string path = to_path(html_path, "html_path");
            std::optional<std::vector<std::string>> name_list;
            if (!names.is_none()) name_list = to_str_list(names, "names");
            std::optional<std::string> title_text;
            if (!title.is_none()) title_text = to_str(title, "title");
            const auto written =
                viewer::strip_chart::plot_records_to_html(self.file, ids, name_list, title_text, path);
            if (!written) throw_psf_err(written.error(), path, "writing HTML file");
            return path_to_py(path);
        },
        nb::arg("record_ids").none(), nb::arg("html_path").none(), nb::arg("names").none() = nb::none(),
        nb::arg("title").none() = nb::none(),
        nb::sig("def plot_records_html(self, record_ids, html_path, names=None, title=None)"),
        "Writes a standalone HTML page of stacked strip charts, one per record id\n"
        "(top first), sharing one time axis; returns html_path. Pane i is named\n"
        "names[i] when given, else record_0x<id>; the title defaults to\n"
        "\"PSFXL waveforms\". Every record is decoded before anything is written.");
    cls.def(
        "serve",
        [](const PyNgpsfFile& self, nb::handle port, nb::handle companion) {
            const std::uint16_t port_number = to_u16(port, "port");
            std::optional<std::string> companion_path;
            if (!companion.is_none()) companion_path = to_path(companion, "companion");
            // The viewer shows the file as it is on disk now.
            NgpsfFile file = open_named(self.file.path());
            std::optional<psf::PsfFile> names;
            if (companion_path) {
                auto bytes = read_file(*companion_path);
                if (!bytes) throw_file_error(bytes.error(), "reading PSF file", *companion_path);
                names = unwrap(psf::PsfFile::from_bytes(*companion_path, std::move(bytes).value()));
            }
            // Ctrl-C ends serving: the accept loop asks about every 100 ms
            // whether a signal handler raised.
            bool interrupted = false;
            viewer::ServeOptions options;
            if (on_main_thread()) {
                options.should_stop = [&interrupted] {
                    nb::gil_scoped_acquire gil;
                    interrupted = PyErr_CheckSignals() != 0;
                    return interrupted;
                };
            }
            Result<void, psf::PsfError> served;
            {
                LockReleased release;
                served = viewer::serve(std::move(file), names ? &*names : nullptr, port_number, options);
            }
            if (interrupted) throw nb::python_error();
            if (!served) throw_psf_err(served.error());
        },
        nb::arg("port").none() = 8765, nb::arg("companion").none() = nb::none(),
        nb::sig("def serve(self, port=8765, companion=None)"),
        "Serves a browser viewer of every signal of this file on\n"
        "http://127.0.0.1:<port>/ until interrupted (Ctrl-C). The file is read again\n"
        "from disk; a companion PSF file (the PSFXL metadata file) names the records.\n"
        "Raises when the port cannot be bound.");
}

// ---- end of HTML strip charts and the HTTP viewer --------------------------

}  // namespace

void register_ngpsf(nb::module_& m) {
    nb::class_<PyNgpsfFile> cls(m, "NgpsfFile",
                                "NgpsfFile(path)\n--\n\n"
                                "A PSFXL companion file read whole into memory: its tags, its data records\n"
                                "and their waveforms decoded from Blosc1/BloscLZ frames.");
    cls.def(
           "__init__",
           [](PyNgpsfFile* self, nb::handle path) {
               const std::string fs_path = to_path(path, "path");
               new (self) PyNgpsfFile{open_named(fs_path)};
           },
           nb::arg("path"), nb::sig("def __init__(self, path)"))
        .def_prop_ro(
            "path", [](const PyNgpsfFile& self) { return path_to_py(self.file.path()); },
            nb::sig("def path(self) -> str"), "The path given to the constructor.")
        .def_prop_ro(
            "size", [](const PyNgpsfFile& self) { return self.file.size(); },
            nb::sig("def size(self) -> int"), "The file size in bytes.")
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
                const std::uint64_t from = to_u64(start, "start");
                const std::uint64_t to = to_u64(end, "end");
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
                const std::uint64_t id = to_u64(record_id, "record_id");
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
                const std::uint64_t id = to_u64(record_id, "record_id");
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
    add_viewer_methods(cls);
}

}  // namespace morva::python
