// Detection statistics: thresholds for a false-alarm probability, detection probabilities for a
// signal-to-noise ratio, dwell and look counts, the inverse Gaussian tail, EMA coefficients and
// verify counts. Stateless, reentrant, double precision; used when sizing lock detectors.
//
// Conventions: an amplitude threshold is compared against the envelope of a complex Gaussian
// look with unit per-component noise variance (det_threshold(pfa) = sqrt(-2 ln pfa)); a power
// threshold is normalised to the noise power (det_threshold_power(pfa) = -ln pfa). `a` is the
// per-sample amplitude SNR, `snr` the linear per-sample power SNR; n coherent samples turn a
// into the non-centrality sqrt(2n)*a. A count of -1 means the target is not reachable.
#pragma once

#include "common/ox_common.h"

OX_API double marcum_q(int m, double a, double b);
OX_API double det_threshold(double pfa);
OX_API double det_pd(int n, double a, double thr);
OX_API int det_dwell(int n_max, double a, double pd, double pfa);
OX_API double det_snr(int n, double pd, double pfa);
OX_API double det_threshold_noncoherent(int n_looks, double pfa);
OX_API double det_q_inv(double p);
OX_API int det_dwell_gauss(double mean, double variance, double pd, double pfa);
OX_API double det_threshold_gauss(double mean, double pd, double pfa);
OX_API double det_ema_alpha(double snr_in_db, double snr_out_db);
OX_API int det_verify_count(double p, double target);
OX_API double det_verify_delay(int n, double p);
OX_API double det_threshold_f(int n, double pfa);
OX_API double det_pd_noncoherent(int n_coh, int n_looks, double a, double thr);
OX_API int det_n_noncoh(int n_coh, int n_max, double a, double pd, double pfa);
OX_API double det_threshold_power(double pfa);
OX_API double det_pd_power(int n, double snr, double thr);
OX_API int det_dwell_power(int n_max, double snr, double pd, double pfa);
OX_API double det_snr_power(int n, double pd, double pfa);
