#include "stream/capture_pin.h"

void CapturePin::AttemptProcessing() { KsPinAttemptProcessing(ks_pin, TRUE); }
