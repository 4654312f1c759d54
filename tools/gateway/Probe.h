#pragma once
// The first pass of the adaptive scan that trovelctl uses (tools/common/Scan.h), run as one
// call on a line's thread: every address the line serves is asked once with a short time-out,
// derived from the first controller that answers. That takes about a third of a second where
// asking each absent address with the full time-out would take seconds, so the gateway's
// scans find the present controllers at once; an address that stayed silent is still asked
// with the full time-out afterwards, one request at a time, before it is ruled out.

#include <functional>
#include <memory>
#include <vector>

#include "TrovelSdk.h"
#include "gateway/Service.h"

namespace trovel::gateway {

// The library call for the line's queue (unit 0, so no controller's settle holds it up);
// `answered` receives the addresses that answered, in order. Null when the line reads in
// silence mode, where a probe cannot be shorter than the full time-out.
std::function<int(TrovelLine*)> ProbeCall(const LineSettings& settings, std::shared_ptr<std::vector<int>> answered);

} // namespace trovel::gateway
