#include "ngspice/vector_lookup.h"

#include <functional>

#include "common/format.h"
#include "common/text.h"

namespace morva::ngspice {
namespace {

const VectorData* first_where(const std::vector<VectorData>& vectors,
                              const std::function<bool(const std::string&)>& matches) {
    for (const VectorData& v : vectors) {
        if (matches(ascii_lower(v.name))) return &v;
    }
    return nullptr;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

const VectorData* find_vector(const std::vector<VectorData>& vectors, std::string_view name) {
    const auto named = [&](std::string_view wanted) -> const VectorData* {
        for (const VectorData& v : vectors) {
            if (ascii_iequals(v.name, wanted)) return &v;
        }
        return nullptr;
    };
    if (const VectorData* v = named(name)) return v;
    if (name.size() >= 3 && ascii_istarts_with(name, "v(") && name.back() == ')') {
        if (const VectorData* v = named(name.substr(2, name.size() - 3))) return v;
    }
    return named(fmt::cat("V(", name, ")"));
}

std::string vector_not_found_message(const std::vector<VectorData>& vectors, std::string_view name) {
    std::string list = "[";
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (i) list.append(", ");
        list.append(fmt::debug_str(vectors[i].name));
    }
    list.push_back(']');
    return fmt::cat("vector '", name, "' not found; available: ", list);
}

const VectorData* find_time_vector(const std::vector<VectorData>& vectors) {
    if (auto v = first_where(vectors, [](const std::string& n) { return n == "time"; })) return v;
    return first_where(vectors, [](const std::string& n) { return ends_with(n, ".time"); });
}

const VectorData* find_frequency_vector(const std::vector<VectorData>& vectors) {
    if (auto v = first_where(vectors, [](const std::string& n) { return n == "frequency" || n == "freq"; }))
        return v;
    if (auto v = first_where(vectors, [](const std::string& n) {
            return ends_with(n, ".frequency") || ends_with(n, ".freq");
        })) {
        return v;
    }
    return first_where(vectors, [](const std::string& n) { return n.find("freq") != std::string::npos; });
}

const VectorData* find_sweep_vector(const std::vector<VectorData>& vectors) {
    if (auto v =
            first_where(vectors, [](const std::string& n) { return n.find("sweep") != std::string::npos; })) {
        return v;
    }
    return vectors.empty() ? nullptr : &vectors.front();
}

}  // namespace morva::ngspice
