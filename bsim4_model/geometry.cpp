// Diffusion perimeters, areas and resistances of a multi-finger layout.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bsim4_model/model.h"

namespace morva::bsim4::model {
namespace {

struct FingerSplit {
    double end_s = 0.0, int_s = 0.0, end_d = 0.0, int_d = 0.0;
};

// How many source and drain diffusions sit at the ends and between the fingers.
FingerSplit split_fingers(double nf, int min_sd) {
    FingerSplit f;
    // The parity of the whole fingers, as an integer conversion would give it, for any nf.
    if (std::fmod(std::trunc(nf), 2.0) != 0.0) {
        f.end_d = f.end_s = 1.0;
        f.int_d = f.int_s = 2.0 * std::max((nf - 1.0) / 2.0, 0.0);
    } else if (min_sd == 1) {
        f.end_d = 2.0;
        f.int_d = 2.0 * std::max(nf / 2.0 - 1.0, 0.0);
        f.end_s = 0.0;
        f.int_s = nf;
    } else {
        f.end_d = 0.0;
        f.int_d = nf;
        f.end_s = 2.0;
        f.int_s = 2.0 * std::max(nf / 2.0 - 1.0, 0.0);
    }
    return f;
}

enum class End { Isolated, Shared, Merged };

// End type of the source and drain side for layouts 0 to 8.
constexpr End kSourceEnd[9] = {End::Isolated, End::Isolated, End::Shared, End::Shared, End::Isolated,
                               End::Shared,   End::Merged,   End::Merged, End::Merged};
constexpr End kDrainEnd[9] = {End::Isolated, End::Shared,   End::Isolated, End::Shared, End::Merged,
                              End::Merged,   End::Isolated, End::Shared,   End::Merged};

// End resistance of one side; `first_group` are the rgeo values of the DMCG/Weffcj form.
double end_resistance(End end, bool source, int geo, int rgeo, double nu_end, double weffcj, double rsh,
                      double dmcg, double dmci, double dmdg) {
    if (end == End::Merged) {
        // geo 5 (drain) and 7 (source) divide by the end count, the others do not.
        const bool per_end = source ? geo == 7 : geo == 5;
        if (!per_end) return rsh * dmdg / weffcj;
        return nu_end == 0.0 ? 0.0 : rsh * dmdg / (weffcj * nu_end);
    }
    const bool dmcg_form =
        source ? (rgeo == 1 || rgeo == 2 || rgeo == 5) : (rgeo == 1 || rgeo == 3 || rgeo == 7);
    const bool width_form =
        source ? (rgeo == 3 || rgeo == 4 || rgeo == 6) : (rgeo == 2 || rgeo == 4 || rgeo == 8);
    if (dmcg_form) return nu_end == 0.0 ? 0.0 : rsh * dmcg / (weffcj * nu_end);
    if (!width_form) {
        std::printf("Warning: Specified RGEO = %d not matched\n", rgeo);
        return 0.0;
    }
    if (end == End::Isolated) {
        if (dmcg + dmci == 0.0) {
            std::printf("(DMCG + DMCI) can not be equal to zero\n");
            return 0.0;
        }
        return nu_end == 0.0 ? 0.0 : rsh * weffcj / (3.0 * nu_end * (dmcg + dmci));
    }
    if (dmcg == 0.0) {
        std::printf("DMCG can not be equal to zero\n");
        return 0.0;
    }
    return nu_end == 0.0 ? 0.0 : rsh * weffcj / (6.0 * nu_end * dmcg);
}

}  // namespace

int BSIM4PAeffGeo(double nf, int geo, int min_sd, double weffcj, double dmcg, double dmci, double dmdg,
                  double* ps, double* pd, double* as, double* ad) {
    const double p_iso = 2.0 * (dmcg + dmci) + weffcj, a_iso = (dmcg + dmci) * weffcj;
    const double p_sha = 2.0 * dmcg, a_sha = dmcg * weffcj;
    const double p_mer = 2.0 * dmdg, a_mer = dmdg * weffcj;
    if (geo >= 0 && geo < 9) {
        const FingerSplit f = split_fingers(nf, min_sd);
        auto side = [&](End end, double nu_end, double nu_int, double* p, double* a) {
            const double pe = end == End::Isolated ? p_iso : end == End::Shared ? p_sha : p_mer;
            const double ae = end == End::Isolated ? a_iso : end == End::Shared ? a_sha : a_mer;
            *p = nu_end * pe + nu_int * p_sha;
            *a = nu_end * ae + nu_int * a_sha;
        };
        side(kSourceEnd[geo], f.end_s, f.int_s, ps, as);
        side(kDrainEnd[geo], f.end_d, f.int_d, pd, ad);
    } else if (geo == 9) {
        *ps = p_iso + (nf - 1.0) * p_sha;
        *pd = nf * p_sha;
        *as = a_iso + (nf - 1.0) * a_sha;
        *ad = nf * a_sha;
    } else if (geo == 10) {
        *ps = nf * p_sha;
        *pd = p_iso + (nf - 1.0) * p_sha;
        *as = nf * a_sha;
        *ad = a_iso + (nf - 1.0) * a_sha;
    } else {
        std::printf("Warning: Specified GEO = %d not matched\n", geo);
    }
    return 0;
}

int BSIM4RdseffGeo(double nf, int geo, int rgeo, int min_sd, double weffcj, double rsh, double dmcg,
                   double dmci, double dmdg, int type, double* rtot) {
    const bool source = type == 1;
    double r_int = 0.0, r_end = 0.0;
    if (geo >= 0 && geo < 9) {
        const FingerSplit f = split_fingers(nf, min_sd);
        const double nu_int = source ? f.int_s : f.int_d;
        const double nu_end = source ? f.end_s : f.end_d;
        r_int = nu_int == 0.0 ? 0.0 : rsh * dmcg / (weffcj * nu_int);
        const End end = source ? kSourceEnd[geo] : kDrainEnd[geo];
        r_end = end_resistance(end, source, geo, rgeo, nu_end, weffcj, rsh, dmcg, dmci, dmdg);
    } else if (geo == 9 || geo == 10) {
        // geo 9 has the isolated end on the source side, geo 10 on the drain side.
        if (source == (geo == 9)) {
            r_end = 0.5 * rsh * dmcg / weffcj;
            r_int = nf == 2.0 ? 0.0 : rsh * dmcg / (weffcj * (nf - 2.0));
        } else {
            r_end = 0.0;
            r_int = rsh * dmcg / (weffcj * nf);
        }
    } else {
        std::printf("Warning: Specified GEO = %d not matched\n", geo);
    }
    if (r_int <= 0.0) {
        *rtot = r_end;
    } else if (r_end <= 0.0) {
        *rtot = r_int;
    } else {
        *rtot = r_int * r_end / (r_int + r_end);
    }
    if (*rtot == 0.0) std::printf("Warning: Zero resistance returned from RdseffGeo\n");
    return 0;
}

}  // namespace morva::bsim4::model
