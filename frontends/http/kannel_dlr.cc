#include "kannel_dlr.h"

namespace VelquorHttp {

bool KannelDlrWanted(int dlrMask, const KannelDlrEvent& event) { return (dlrMask & event.dlrValue) != 0; }

std::string KannelDlrUrl(const std::string& url, const KannelDlrEvent& /*event*/) { return url; }

}  // namespace VelquorHttp
