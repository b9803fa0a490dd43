// Readers of the four sections of a binary PSF file that this system uses.
// Each starts at the section's offset from the table of contents.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/property.h"
#include "psf/reader.h"
#include "psf/types.h"

namespace morva::psf {

// The container word and the section's end offset, which must not lie before
// the section itself. Returns the end.
Result<std::uint64_t, PsfError> read_outer_container(Cursor& cursor, std::uint64_t section_offset);

Result<std::vector<Property>, PsfError> read_header_section(std::string_view bytes, std::uint64_t offset);
Result<std::vector<DataTypeDef>, PsfError> read_type_section(std::string_view bytes, std::uint64_t offset);
Result<std::vector<DataTypeRef>, PsfError> read_sweep_section(std::string_view bytes, std::uint64_t offset);
// `psfxl_records`: each trace may be followed by a record chunk (PSFXL metadata
// without a table of contents), which is stepped over. Without it a record
// chunk is read like any other unexpected word (it ends the trace list, or
// fails a group), as files with a table of contents always have been.
Result<std::vector<TraceNode>, PsfError> read_trace_section(std::string_view bytes, std::uint64_t offset,
                                                            bool psfxl_records = false);

}  // namespace morva::psf
