// Model and instance records of the BSIM4 4.8 evaluator and the model routines that work on them.
//
// Every record field of a model parameter, its given flag, the parameter table and the binning
// come from bsim4_params.inc (generated from the BSIM4 4.8 parameter table). Everything the
// routines keep between calls lives in these records, so distinct models can be used on distinct
// threads at once.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bsim4_model/dual.h"

namespace morva::bsim4::model {

// Return codes of the model routines (also those of the flat interface, bsim4.h).
inline constexpr int kOk = 0;
inline constexpr int kBadParameter = 7;  // a fatal parameter or geometry check
inline constexpr int kNoMemory = 8;

inline constexpr double kMaxExp = 5.834617425e14;
inline constexpr double kMinExp = 1.713908431e-15;
inline constexpr double kExpThreshold = 34.0;
inline constexpr double kEps0 = 8.85418e-12;
inline constexpr double kEpsSi = 1.03594e-10;
inline constexpr double kBoltzOverQ = 8.617087e-5;
inline constexpr double kCharge = 1.60219e-19;          // the model's own elementary charge
inline constexpr double kChargeSim = 1.6021766208e-19;  // the simulator's, used by poly depletion
inline constexpr double kPi = 3.141592654;              // the model's truncated pi
inline constexpr double kNominalTemp = 300.15;

// Parameter ids by field name: id_vth0, id_lndep, ...
enum ParamId : int {
#define BSIM4_REAL(field, id) id_##field = id,
#define BSIM4_INT(field, id) id_##field = id,
#include "bsim4_model/bsim4_params.inc"
};

struct ModelParams {
#define BSIM4_REAL(field, id) double field = 0.0;
#define BSIM4_INT(field, id) int field = 0;
#include "bsim4_model/bsim4_params.inc"
};

struct ModelGiven {
#define BSIM4_REAL(field, id) bool field = false;
#define BSIM4_INT(field, id) bool field = false;
#include "bsim4_model/bsim4_params.inc"
    bool type = false;
    bool version = false;
};

struct BinnedParams {
#define BSIM4_BINNED(base) double base = 0.0;
#include "bsim4_model/bsim4_params.inc"
};

// Model-level quantities of the last temperature update.
struct ModelTemp {
    double temp = 0.0;    // Temp of the update, K
    double tnom = 0.0;    // K
    double vtm = 0.0;     // thermal voltage at Temp
    double vtm0 = 0.0;    // thermal voltage at Tnom
    double eg0 = 0.0;     // band gap at Tnom
    double ni = 0.0;      // intrinsic carrier density at Tnom
    double tox = 0.0;     // working oxide: toxe, or eot with a non-silicon material
    double epsrox = 0.0;  // its relative permittivity
    double epssub = 0.0;  // substrate permittivity
    double coxe = 0.0;
    double coxp = 0.0;
    double factor1 = 0.0;
    // Junction saturation-current densities at Temp: bottom, sidewall, gate edge.
    double js_s = 0.0, jsw_s = 0.0, jswg_s = 0.0;
    double js_d = 0.0, jsw_d = 0.0, jswg_d = 0.0;
    // Trap-assisted tunnelling emission factors at Temp.
    double njts = 0.0, njtssw = 0.0, njtsswg = 0.0, njtsd = 0.0, njtsswd = 0.0, njtsswgd = 0.0;
};

// The size-dependent parameter block of one (L, W, NF).
struct SizeParams {
    double l = 0.0, w = 0.0, nf = 0.0;  // key: drawn length, total drawn width, fingers
    double lnew = 0.0, wnew = 0.0;
    double leff = 0.0, weff = 0.0, leff_cv = 0.0, weff_cv = 0.0, weff_cj = 0.0;
    BinnedParams b;  // binned values, then modified in place by the temperature forms
    double u0temp = 0.0, vsattemp = 0.0;
    double rds0 = 0.0, rdswmin = 0.0, rd0 = 0.0, rdwmin = 0.0, rs0 = 0.0, rswmin = 0.0;
    double tfactor = 1.0;
    double phi = 0.0, sqrt_phi = 0.0, xdep0 = 0.0, sqrt_xdep0 = 0.0, litl = 0.0, vbi = 0.0;
    double cdep0 = 0.0, vfbsd = 0.0;
    // Gate tunnelling: oxide-thickness ratios, the prefactors of the gate-to-channel current and
    // of the overlap (edge) currents, and the size part of the flat-band voltage it uses.
    double tox_ratio = 0.0, tox_ratio_edge = 0.0;
    double aechvb = 0.0, bechvb = 0.0, aechvb_edge_s = 0.0, aechvb_edge_d = 0.0, bechvb_edge = 0.0;
    double vfbzb_factor = 0.0;
    double mstar = 0.0, voffcbn = 0.0;
    double k1ox = 0.0;
    double theta0vb0 = 0.0, theta_rout = 0.0;
    double vgsteff_vth = 0.0;
    double dvtp2factor = 0.0;
    // Stress (LOD) factors.
    double fkvth0 = 1.0, ku0temp = 0.0, od_ref = 0.0, rho_ref = 0.0;
};

// One junction diode of an instance (bulk-source or bulk-drain), as the temperature update leaves it.
struct Junction {
    double area = 0.0, perimeter = 0.0;  // effective
    double isat = 0.0;                   // saturation current
    // Limits of the linear continuations (diomod 1 and 2) and the breakdown term.
    double xexp_bv = 0.0;
    double vjm_fwd = 0.0, ivjm_fwd = 0.0, slp_fwd = 0.0;
    double vjm_rev = 0.0, ivjm_rev = 0.0, slp_rev = 0.0;
    double itat[3] = {};  // trap-assisted tunnelling prefactors: bottom, sidewall, gate edge
};

// The model's parameters of one junction side, at the temperature of the last update.
struct JunctionParams {
    double nj = 0.0, bv = 0.0, xjbv = 0.0, ijth_fwd = 0.0, ijth_rev = 0.0;
    double js = 0.0, jsw = 0.0, jswg = 0.0;                      // saturation-current densities
    double njts[3] = {}, vts[3] = {}, xts[3] = {}, jts[3] = {};  // tunnelling: bottom, sidewall, gate edge
};

// Given bits of the instance parameters.
inline constexpr std::uint32_t kGivenL = 0x1, kGivenW = 0x2, kGivenM = 0x4, kGivenNf = 0x40;
inline constexpr std::uint32_t kGivenAd = 0x100, kGivenAs = 0x200, kGivenNrd = 0x400, kGivenNrs = 0x800;
inline constexpr std::uint32_t kGivenPd = 0x1000, kGivenPs = 0x2000, kGivenSa = 0x4000, kGivenSb = 0x8000;
inline constexpr std::uint32_t kGivenSd = 0x10000, kGivenSca = 0x20000, kGivenScb = 0x40000;
inline constexpr std::uint32_t kGivenScc = 0x80000, kGivenSc = 0x100000, kGivenDelvto = 0x4000000;
inline constexpr std::uint32_t kGivenMulu0 = 0x8000000;
inline constexpr std::uint32_t kGivenAtCreation = 127;

// One gate-tunnelling current with its slopes with respect to the physical vgs, vds, vbs.
struct GateCurrent {
    double i = 0.0, g = 0.0, d = 0.0, b = 0.0;
};

struct Model;

struct Instance {
    Model* model = nullptr;
    Instance* next = nullptr;
    std::string name = "m0";

    double l = 0.0, w = 0.0, nf = 1.0;
    double nrd = 1.0, nrs = 1.0, ad = 0.0, as = 0.0, pd = 0.0, ps = 0.0;
    double sa = 0.0, sb = 0.0, sd = 0.0, sca = 0.0, scb = 0.0, scc = 0.0, sc = 0.0, delvto = 0.0;
    double mulu0 = 1.0;
    std::uint32_t given = kGivenAtCreation;
    bool setup_done = false;

    // From setup.
    int geomod = 0;
    int min_sd = 0;

    // From the temperature update (every call).
    const SizeParams* size = nullptr;
    int temp_status = kOk;
    std::string problem;  // why temp_status is kBadParameter (the first fatal check)
    double vth0 = 0.0, k2 = 0.0, eta0 = 0.0, u0temp = 0.0, vsattemp = 0.0, vfb = 0.0;
    double vtfbphi1 = 0.0, vtfbphi2 = 0.0, vbsc = 0.0, k2ox = 0.0, vfbzb = 0.0;
    double toxp = 0.0, coxp = 0.0;
    Junction source, drain;

    // Bias of the next load (n-channel frame), and what the load leaves.
    double vds_in = 0.0, vgs_in = 0.0, vbs_in = 0.0;
    double cd = 0.0, gm = 0.0, gds = 0.0, gmbs = 0.0, von = 0.0, vdsat = 0.0;
    double cbs = 0.0, cbd = 0.0, gbs = 0.0, gbd = 0.0;
    int mode = 1;
    // Side currents (n-channel frame, times nf) and the drain terminal's current with its slopes
    // with respect to the physical vgs, vds, vbs (NaN when the load carries no slopes).
    double isub = 0.0, igidl = 0.0, igisl = 0.0;
    double idrain = 0.0, gdrain_g = 0.0, gdrain_d = 0.0, gdrain_b = 0.0;
    // Gate tunnelling (n-channel frame, times nf; 0 when igcmod and igbmod are 0), left by the
    // full load only: the overlap currents from the gate to the physical source and drain, the
    // gate-to-channel current's parts at the channel's source and drain ends (the physical drain
    // and source in reverse orientation), and the gate-to-body current. The drain terminal's
    // current above carries what reaches the drain.
    GateCurrent igs, igd, igcs, igcd, igb;
    bool gate_currents = false;  // some of them may be nonzero
};

struct Model {
    std::string name = "bsim4_standalone";
    std::string version = "4.8.3";
    int type = 1;
    ModelParams p;
    ModelGiven given;

    // Circuit context: the temperature the routines run at, the nominal one and gmin.
    double ctx_temp = kNominalTemp;
    double ctx_tnom = kNominalTemp;
    double gmin = 1e-12;
    // The circuit's temperature, at which an instance is set up (and its checks run).
    double circuit_temp = kNominalTemp;

    ModelTemp t;
    Instance* instances = nullptr;  // newest first
    std::vector<std::unique_ptr<SizeParams>> sizes;
    double sizes_temp = -1.0;            // Temp the blocks were built at
    std::uint64_t param_generation = 0;  // bumped by every parameter change
    std::uint64_t sizes_generation = 0;  // the generation the blocks were built from
    double cached_temp = -1.0;           // temperature of the last update requested by an evaluation
    bool checked = false;                // the parameter checks passed once
    std::mutex lock;                     // serialises the flat interface's calls on this model
};

JunctionParams junction_params(const Model& model, bool source);

// Terms of the load that depend on one bias alone, for a load carrying N slopes.
// The channel's terms of its body bias (Vbs, or Vbd when the channel is reversed).
template <int N>
struct BodyTerms {
    double dvbseff_dvbs = 0.0;
    Dual<N> vbseff, sqrt_phis, theta0;
    Dual<N> vth;        // the threshold voltage without the drain-induced shifts
    Dual<N> eta_theta;  // the DIBL coefficient of Vds
    Dual<N> nfactor_cdep, cdsc_b;
    Dual<N> abulk0, abulk_slope, kf;  // bulk charge: (abulk0 + abulk_slope Vgsteff), scaled by kf
    Dual<N> vadibl_factor;
};
// The channel's terms of its gate bias (Vgs, or Vgd when reversed).
template <int N>
struct GateTerms {
    Dual<N> vgs_eff;  // after poly depletion
};
// A junction's current and conductance at its voltage.
struct JunctionTerms {
    double current = 0.0, conductance = 0.0;
};

// Terms computed for K voltages at most (direct-mapped by the voltage's bits, compared exactly).
template <class T, int K>
class VoltageMemo {
public:
    const T* find(double v) const {
        const Entry& e = entries_[index(v)];
        return e.used && e.key == bits(v) ? &e.value : nullptr;
    }
    // The entry for v, taking the place of whatever was there.
    T& slot(double v) {
        Entry& e = entries_[index(v)];
        e.used = true;
        e.key = bits(v);
        return e.value;
    }

private:
    static_assert(K > 1 && (K & (K - 1)) == 0, "K is a power of two");
    struct Entry {
        std::uint64_t key = 0;
        bool used = false;
        T value;
    };
    static std::uint64_t bits(double v) {
        std::uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        return u;
    }
    // Fibonacci hashing: the top bits of the product depend on every bit of the voltage.
    static std::size_t index(double v) {
        std::uint64_t u = bits(v);
        u ^= u >> 32;
        return static_cast<std::size_t>((u * 0x9E3779B97F4A7C15ull) >> (64 - kIndexBits));
    }
    static constexpr int kIndexBits = std::countr_zero(static_cast<unsigned>(K));
    Entry entries_[K];
};

// What loads of one sweep share. It holds only while the model, the instance and the temperature
// stay as they were: a fresh memo for every sweep.
template <int N>
struct LoadMemo {
    VoltageMemo<BodyTerms<N>, 256> body;
    VoltageMemo<GateTerms<N>, 256> gate;
    VoltageMemo<JunctionTerms, 1024> source, drain;
};

// Parameter table and setting.
enum class ParamKind { Real, Int, String, Flag, Alias };
struct ParamRow {
    const char* keyword;
    int id;
    ParamKind kind;
    const char* description;
};
std::size_t param_table_size();
const ParamRow& param_table_row(std::size_t index);
std::uint32_t param_data_type(ParamKind kind);
// The first row whose keyword equals `name` ignoring ASCII case, or -1.
int find_param_row(const char* name);
int BSIM4mParam(int id, double value, Model& model);

// Setup, temperature update, checks, load.
int BSIM4setup(Model& model);
int BSIM4temp(Model& model);
int BSIM4checkModel(Model& model, Instance& inst);
// Block-level corrections of the checks, applied to every new size block.
void correct_size_block(const Model& model, SizeParams& s);
// The full load: values and every slope; with a memo, that of a sweep.
void BSIM4load(const Model& model, Instance& inst, LoadMemo<3>* memo = nullptr);
// The load of the values only (N = 0) or of the values and gmbs (N = 1); the other slopes are
// left NaN in the instance, and the gate-tunnelling currents (with their part of the drain
// terminal's current) are not computed. Everything it computes is bit for bit what BSIM4load
// computes. With a memo, terms of a voltage met before in the same sweep are taken from it.
template <int N>
void BSIM4load_values(const Model& model, Instance& inst, LoadMemo<N>* memo);

int BSIM4PAeffGeo(double nf, int geo, int min_sd, double weffcj, double dmcg, double dmci, double dmdg,
                  double* ps, double* pd, double* as, double* ad);
int BSIM4RdseffGeo(double nf, int geo, int rgeo, int min_sd, double weffcj, double rsh, double dmcg,
                   double dmci, double dmdg, int type, double* rtot);

}  // namespace morva::bsim4::model
