// The standalone BSIM4 4.8 evaluator: plain functions over two opaque handles.
//
// Calling order: bsim4_model_create (or bsim4_model_new) -> bsim4_model_set_type ->
// bsim4_model_set_double_param per parameter -> bsim4_instance_create (or bsim4_instance_alloc,
// bsim4_instance_set_inst_param per parameter, bsim4_instance_setup) -> any number of
// bsim4_eval_dc / bsim4_eval_dc_intrinsic -> bsim4_instance_free per instance -> bsim4_model_free.
//
// Units: kelvin, metres, volts; the card's tnom in degrees Celsius. Voltages are in the
// n-channel frame (a p-channel device conducts for a positive vgs).
//
// Threads: distinct models may be used on distinct threads at once; calls on one model (and its
// instances) are serialised by a lock inside the model. Only the DC initial-condition evaluation
// exists: no charges, capacitances, noise or transient quantities are computed.
#pragma once

#include <cstddef>

namespace morva::bsim4::model {
struct Model;
struct Instance;
}  // namespace morva::bsim4::model

using Bsim4ModelHandle = morva::bsim4::model::Model*;
using Bsim4InstanceHandle = morva::bsim4::model::Instance*;

// One DC evaluation. ids, vth and vdsat carry the device type (n-channel frame); the others are
// as the model computes them. rs and rd are 0 unless rdsmod is 1.
struct Bsim4DcResults {
    double ids, gm, gds, gmbs, vth, vdsat, cbs, cbd, gbs, gbd, rs, rd;
};

// The drain terminal's current as a circuit sees it (the current into the drain from what holds
// its voltage): the channel, the substrate current when the drain is the channel's drain end,
// GIDL, less the drain junction's current with gmin and less what the gate tunnels into the drain
// (igd and the gate-to-channel current's part at the drain), carrying the device type like ids.
// gm, gds and gmbs are its exact slopes with respect to the terminal vgs, vds and vbs (with
// rdsmod 1, through the series resistances taken at their bias). isub, igidl, igisl and the five
// gate-tunnelling currents (see Bsim4GateResults) are the side currents as the model computes
// them (n-channel frame, times nf).
struct Bsim4TerminalResults {
    double id, gm, gds, gmbs, isub, igidl, igisl;
    double igs, igd, igcs, igcd, igb;
};

// One gate-tunnelling current (n-channel frame, times nf) with its exact slopes with respect to
// vgs, vds and vbs.
struct Bsim4GateCurrent {
    double i, g, d, b;
};
// The gate-tunnelling currents of one evaluation, as ngspice reports them (@m[igs] ...), all 0
// when igcmod and igbmod are 0: igs and igd flow from the gate across the overlaps into the
// physical source and drain (igcmod); igcs and igcd are the gate-to-channel current's parts at the
// channel's source and drain ends (igcmod), which are the physical drain and source when vds < 0;
// igb flows from the gate to the body (igbmod).
struct Bsim4GateResults {
    Bsim4GateCurrent igs, igd, igcs, igcd, igb;
};

// Return codes.
enum : int {
    BSIM4_OK = 0,
    BSIM4_ERR_ARGUMENT = -1,      // null handle or output, instance not set up, bad temperature or voltage
    BSIM4_ERR_BAD_PARAMETER = 7,  // a fatal parameter or geometry check failed
    BSIM4_ERR_NO_MEMORY = 8,
    BSIM4_ERR_NOT_FINITE = 101,      // an output was not finite; the record is left untouched
    BSIM4_ERR_NO_CONVERGENCE = 102,  // the rdsmod=1 series-resistance loop did not converge in 101 loads
};

// A model with the given numbers set (see the flags each one sets) and every other parameter at
// its default; null when memory runs out.
Bsim4ModelHandle bsim4_model_create(int type, double tnom_celsius, double toxe, double toxp, double toxm,
                                    double dtox, double epsrox, double wint, double lint, double vth0,
                                    double k1, double k2, double k3, double vsat, double u0, double rdsw);
// A model with no parameter given: every default applies. Null when memory runs out.
Bsim4ModelHandle bsim4_model_new();
// "pmos", "pfet" or any text beginning with p/P gives a p-channel model, anything else n-channel.
void bsim4_model_set_type(Bsim4ModelHandle model, const char* type);
// 1 when the name is a real or integer model parameter (ASCII case ignored) and was set, else 0.
int bsim4_model_set_double_param(Bsim4ModelHandle model, const char* name, double value);

// The circuit's temperatures in kelvin, as ngspice's TEMP and TNOM options give them: instances
// set up afterwards run their temperature update (and its checks) at `temperature_k`, and a card
// without tnom takes `tnom_k` (both 300.15 until set). Evaluations still name their own
// temperature. 0, or -1 for a null model or a temperature that is not a finite number above 0.
int bsim4_model_set_temperatures(Bsim4ModelHandle model, double temperature_k, double tnom_k);

// An instance of nf fingers (below 1 counts as 1), total width w and length l, not yet set up.
Bsim4InstanceHandle bsim4_instance_alloc(Bsim4ModelHandle model, int nf, double w, double l);
// 1 when the name is one of nrd nrs ad as pd ps sa sb sd sca scb scc sc delvto (alias delvt0), mulu0
// (ngspice's mobility multiplier) or nf (fingers; below 1 or NaN counts as 1), ASCII case ignored.
int bsim4_instance_set_inst_param(Bsim4InstanceHandle instance, const char* name, double value);
// Applies the defaults and runs the temperature update at the model's circuit temperature
// (bsim4_model_set_temperatures; 300.15 K unless set). 0, or the instance's first
// nonzero code (7: a fatal check, for instance an effective size <= 0, or a finger count above
// BSIM4_MAX_STRESS_FINGERS whose stress terms are summed).
int bsim4_instance_setup(Bsim4InstanceHandle instance);
// Why the instance's last setup failed with 7, in BSIM4's words without "Fatal: " ("u0 at current
// temperature = 0 is not positive"); empty when it did not, or for null. Valid until the next
// setup or the free.
const char* bsim4_instance_problem(Bsim4InstanceHandle instance);

// The stress terms (sa, sb) are summed finger by finger when sa and sb are positive and the
// instance has one finger, or more with sd positive. ngspice counts those fingers in a 32-bit
// int and never ends above this many; a setup that would sum more fails with 7.
inline constexpr double BSIM4_MAX_STRESS_FINGERS = 2147483647.0;
bool bsim4_stress_summed(double nf, double sa, double sb, double sd);
// alloc + setup; null when either fails (the instance is then freed).
Bsim4InstanceHandle bsim4_instance_create(Bsim4ModelHandle model, int nf, double w, double l);

// Evaluates at the bias and temperature (> 0 K). With rdsmod 1 the drain current is iterated
// through the bias-dependent series resistances. 0 on success; any other code leaves *out as it was.
int bsim4_eval_dc(Bsim4InstanceHandle instance, Bsim4DcResults* out, double vgs, double vds, double vbs,
                  double temperature_k);
// bsim4_eval_dc for a caller that needs the values and at most gmbs, at a fraction of the cost:
// the slopes not asked for are not computed and come back NaN. Everything else (ids, vth, vdsat,
// cbs, cbd, rs, rd, gmbs with BSIM4_SLOPES_GMBS) is bit for bit what bsim4_eval_dc gives, and so
// is the return code, except that a non-finite slope that is not computed cannot fail the call.
// -1 for any other `slopes`.
enum : int { BSIM4_SLOPES_NONE = 0, BSIM4_SLOPES_GMBS = 1 };
int bsim4_eval_dc_values(Bsim4InstanceHandle instance, Bsim4DcResults* out, double vgs, double vds,
                         double vbs, double temperature_k, int slopes);
// bsim4_eval_dc_values over a grid at one vbs: out[i * n_vds + k] and codes[i * n_vds + k] are
// what it gives at (vgs[i], vds[k]), bit for bit. One lock and one temperature check serve the
// grid, and the terms of a body, gate or junction voltage met before in the grid are reused.
// 0 once every code is written; -1 with nothing written for a null pointer, a grid too large to
// index, or a bad `slopes`.
int bsim4_eval_dc_values_grid(Bsim4InstanceHandle instance, const double* vgs, std::size_t n_vgs,
                              const double* vds, std::size_t n_vds, double vbs, double temperature_k,
                              int slopes, Bsim4DcResults* out, int* codes);
// bsim4_eval_dc with the drain terminal's current and its slopes as well. 0 on success; any
// other code leaves both records as they were.
int bsim4_eval_dc_terminal(Bsim4InstanceHandle instance, Bsim4DcResults* out, Bsim4TerminalResults* terminal,
                           double vgs, double vds, double vbs, double temperature_k);
// bsim4_eval_dc_terminal over a grid at one vbs, as bsim4_eval_dc_values_grid does it: out,
// terminal and codes at [i * n_vds + k] are what it gives at (vgs[i], vds[k]), bit for bit.
int bsim4_eval_dc_terminal_grid(Bsim4InstanceHandle instance, const double* vgs, std::size_t n_vgs,
                                const double* vds, std::size_t n_vds, double vbs, double temperature_k,
                                Bsim4DcResults* out, Bsim4TerminalResults* terminal, int* codes);
// One evaluation at exactly the given intrinsic voltages; rs and rd still reported.
int bsim4_eval_dc_intrinsic(Bsim4InstanceHandle instance, Bsim4DcResults* out, double vgs, double vds,
                            double vbs, double temperature_k);
// bsim4_eval_dc_intrinsic with the gate-tunnelling currents as well. 0 on success; any other code
// leaves both records as they were.
int bsim4_eval_dc_intrinsic_gate(Bsim4InstanceHandle instance, Bsim4DcResults* out, Bsim4GateResults* gate,
                                 double vgs, double vds, double vbs, double temperature_k);

// Null is a no-op.
void bsim4_instance_free(Bsim4InstanceHandle instance);
// Null is a no-op. Instances still on the model are detached (their evaluations then return -1)
// and must still be freed with bsim4_instance_free.
void bsim4_model_free(Bsim4ModelHandle model);
