// The on-disk cache of characterisation tables: one file per configuration,
// named by a digest of a canonical JSON text of the configuration.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "lut/config.h"
#include "lut/error.h"
#include "lut/table.h"

namespace morva::lut::cache {

// The canonical key document of `config`: compact JSON with a fixed member
// order, paths made absolute and `op_params` sorted by bytes.
std::string key_document(const LutConfig& config);

// "v6-" followed by the lower-case hex SHA-256 of the key document (the
// version moves on whenever cached tables would differ).
Result<std::string, LutError> cache_key(const LutConfig& config);

// Why `key` cannot name a cache file (empty, "." or "..", or holding "/" or
// NUL, any of which would leave the cache directory), or nothing when it can.
// Every key `cache_key` returns passes.
std::optional<std::string> key_problem(std::string_view key);

// $HOME/.cache/morva/<key>.bin ("." in place of an unset HOME).
std::string cache_path(std::string_view key);

// `path` made absolute against the current directory, without normalisation;
// unchanged when it is absolute or the current directory is unknown.
std::string resolve(const std::string& path);

// The cache file encoding of a table: u64 little-endian counts before every
// list, f64 little-endian values, texts as u64 byte count and UTF-8 bytes.
std::string encode(const TransistorLut& table);
// Decodes and validates a cache file's bytes; bytes after the table are
// ignored. Fails with `Serialization` on truncated, malformed or invalid data.
Result<TransistorLut, LutError> decode(std::string_view bytes);

// The table stored at `path`, or nothing when the path does not exist.
Result<std::optional<TransistorLut>, LutError> load(const std::string& path);
// Stores `table` at `path`, creating missing directories. The file is
// written beside the target and renamed over it, so readers never see a
// partial file.
Result<void, LutError> save(const std::string& path, const TransistorLut& table);

// Why `table` is not a table `config` could have produced, or nothing when it
// may be: a cache file is found by its name alone, and one copied, restored
// or written by another version may hold another configuration's table.
// Compared: the five axes (Vgs and Vds as the generator lays them out) and
// the operating-point parameters held (each must have been requested; a model
// may lack some of those requested). The currents are not judged.
std::optional<std::string> table_mismatch(const TransistorLut& table, const LutConfig& config);

}  // namespace morva::lut::cache
