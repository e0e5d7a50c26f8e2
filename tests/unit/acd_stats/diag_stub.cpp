// The statistics code reports to ac.diag; these tests build it without the daemon.
#include "core/ac_diag.hpp"

void ac_diag_slot(ap_record *, int32_t) {}
void ac_diag_status_error() {}
