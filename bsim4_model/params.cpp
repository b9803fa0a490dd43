// The model parameter table and the parameter-setting routine.
#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "bsim4_model/model.h"

namespace morva::bsim4::model {
namespace {

constexpr ParamRow kRows[] = {
#define BSIM4_ROW(keyword, id, kind, field, description) {keyword, id, ParamKind::k##kind, description},
#define kREAL Real
#define kINT Int
#define kSTRING String
#define kFLAG Flag
#define kALIAS Alias
#include "bsim4_model/bsim4_params.inc"
#undef kREAL
#undef kINT
#undef kSTRING
#undef kFLAG
#undef kALIAS
};

constexpr int kNmosId = 844, kPmosId = 845;

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower(const char* s) {
    std::string r;
    for (; *s; ++s) r.push_back(fold(*s));
    return r;
}

// Keywords in ASCII lower case, sorted, with their row index: built once, read-only after.
const std::vector<std::pair<std::string, int>>& keyword_index() {
    static const std::vector<std::pair<std::string, int>> index = [] {
        std::vector<std::pair<std::string, int>> v;
        for (std::size_t i = 0; i < std::size(kRows); ++i)
            v.emplace_back(lower(kRows[i].keyword), static_cast<int>(i));
        // Stable: among equal keywords the earlier row stays first, as a scan in table order finds it.
        std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        return v;
    }();
    return index;
}

bool is_ndep_family(int id) { return id == id_ndep || id == id_lndep || id == id_wndep || id == id_pndep; }

bool is_nsd_or_ngate_family(int id) {
    return id == id_nsd || id == id_lnsd || id == id_wnsd || id == id_pnsd || id == id_ngate ||
           id == id_lngate || id == id_wngate || id == id_pngate;
}

}  // namespace

std::size_t param_table_size() { return std::size(kRows); }
const ParamRow& param_table_row(std::size_t index) { return kRows[index]; }

std::uint32_t param_data_type(ParamKind kind) {
    switch (kind) {
        case ParamKind::Real: return 0x3004;
        case ParamKind::Int: return 0x3002;
        case ParamKind::Alias: return 0x13004;
        case ParamKind::String: return 0x3020;
        case ParamKind::Flag: return 0x2001;
    }
    return 0;
}

int find_param_row(const char* name) {
    const auto& index = keyword_index();
    const std::string key = lower(name);
    auto it = std::lower_bound(index.begin(), index.end(), key,
                               [](const auto& entry, const std::string& k) { return entry.first < k; });
    if (it == index.end() || it->first != key) return -1;
    return it->second;
}

int BSIM4mParam(int id, double value, Model& model) {
    if (id == id_tnom) value += 273.15;
    if (is_ndep_family(id) && value > 1e20) value *= 1e-6;
    // ngspice converts these above 1.000001e24, not above BSIM4's 1e23: a card's "1e23", which
    // its number reader makes a hair more than 1e23, and anything up to 1e24 stay in cm^-3.
    if (is_nsd_or_ngate_family(id) && value > 1.000001e24) value *= 1e-6;
    switch (id) {
#define BSIM4_REAL(field, pid)    \
    case pid:                     \
        model.p.field = value;    \
        model.given.field = true; \
        break;
#define BSIM4_INT(field, pid)                    \
    case pid:                                    \
        model.p.field = static_cast<int>(value); \
        model.given.field = true;                \
        break;
#include "bsim4_model/bsim4_params.inc"
        case kNmosId:
            if (value != 0.0) {
                model.type = 1;
                model.given.type = true;
            }
            break;
        case kPmosId:
            if (value != 0.0) {
                model.type = -1;
                model.given.type = true;
            }
            break;
        default: return kBadParameter;
    }
    ++model.param_generation;
    return kOk;
}

}  // namespace morva::bsim4::model
