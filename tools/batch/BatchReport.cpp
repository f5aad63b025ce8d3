#include "BatchReport.h"

#include <cstdio>
#include <map>

namespace batch {

namespace {

std::string number(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return buffer;
}

} // namespace

void writeReportJson(std::ostream& out, const std::vector<FrameResult>& results, const std::string& calibration)
{
    std::map<std::string, int> counts;
    out << "{\"frames\":[";
    for (std::size_t i = 0; i < results.size(); ++i) {
        const FrameResult& r = results[i];
        ++counts[r.status];
        out << (i ? ",\n" : "\n") << "{\"frame\":" << r.frame << ",\"status\":" << jsonString(r.status)
            << ",\"output\":" << jsonString(r.output) << ",\"mode\":" << jsonString(r.mode) << ",\"seconds\":{";
        for (std::size_t s = 0; s < r.seconds.size(); ++s)
            out << (s ? "," : "") << jsonString(r.seconds[s].first) << ":" << number(r.seconds[s].second);
        out << "}";
        if (r.coverage >= 0)
            out << ",\"coverage\":" << number(r.coverage);
        if (!r.depth.empty()) {
            out << ",\"depth\":{";
            for (std::size_t f = 0; f < r.depth.size(); ++f)
                out << (f ? "," : "") << jsonString(r.depth[f].first) << ":" << number(r.depth[f].second);
            out << "}";
        }
        if (!r.warnings.empty()) {
            out << ",\"warnings\":[";
            for (std::size_t w = 0; w < r.warnings.size(); ++w)
                out << (w ? "," : "") << jsonString(r.warnings[w]);
            out << "]";
        }
        out << ",\"error\":" << jsonString(r.error) << "}";
    }
    out << "\n],\"summary\":{\"frames\":" << results.size();
    for (const auto& entry : counts)
        out << "," << jsonString(entry.first) << ":" << entry.second;
    out << "}";
    if (!calibration.empty())
        out << ",\n\"calibration\":" << calibration;
    out << "}\n";
}

} // namespace batch
