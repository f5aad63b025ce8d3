#include "calibrate/CalibrationReport.h"

#include "JsonString.h"

#include <cmath>
#include <cstdio>

namespace calibrate {

namespace {

constexpr double kDegrees = 180.0 / CV_PI;

std::string number(double value, int digits = 4)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string frameList(const std::vector<std::uint32_t>& frames)
{
    std::string out = "[";
    for (std::size_t i = 0; i < frames.size(); ++i)
        out += (i ? "," : "") + std::to_string(frames[i]);
    return out + "]";
}

} // namespace

void writeRefinementJson(std::ostream& out, const RefinementReport& report)
{
    using tools::jsonString;
    const Refinement& r = report.refinement;
    out << "{\"input\":" << jsonString(report.input) << ",\"output\":" << jsonString(report.output);
    if (!report.backup.empty())
        out << ",\"backup\":" << jsonString(report.backup);
    out << ",\"features\":" << jsonString(report.features) << ",\"refine\":" << jsonString(report.mode)
        << ",\"frames\":" << frameList(report.frames) << ",\"iterations\":" << r.iterations
        << ",\"converged\":" << (r.converged ? "true" : "false") << ",\"seconds\":" << number(report.seconds, 2)
        << ",\n\"pairs\":[";
    for (std::size_t i = 0; i < r.pairs.size(); ++i) {
        const PairResidual& p = r.pairs[i];
        out << (i ? ",\n" : "\n") << "{\"cameras\":[" << p.cameraA + 1 << "," << p.cameraB + 1
            << "],\"matches\":" << p.matches << ",\"medianResidualBeforeDeg\":" << number(p.beforeDegrees)
            << ",\"medianResidualAfterDeg\":" << number(p.afterDegrees) << "}";
    }
    out << "\n],\n\"cameras\":[";
    for (std::size_t c = 0; c < r.corrections.size(); ++c) {
        const CameraCorrection& k = r.corrections[c];
        out << (c ? ",\n" : "\n") << "{\"camera\":" << c + 1
            << ",\"rotationCorrectionDeg\":" << number(cv::norm(k.rotation) * kDegrees) << ",\"rotationVectorDeg\":["
            << number(k.rotation[0] * kDegrees) << "," << number(k.rotation[1] * kDegrees) << ","
            << number(k.rotation[2] * kDegrees) << "],\"centreShiftPx\":[" << number(k.centreShift[0], 3) << ","
            << number(k.centreShift[1], 3) << "],\"k0Factor\":" << number(k.k0Scale, 6) << "}";
    }
    out << "\n]}\n";
}

void writeRefinementText(std::ostream& out, const RefinementReport& report)
{
    const Refinement& r = report.refinement;
    out << "pair                                   matches  residual before  after (median, deg)\n";
    for (const PairResidual& p : r.pairs) {
        char line[256];
        std::snprintf(line, sizeof line, "%-38s %7zu  %15.4f  %6.4f\n", pairName(p.cameraA, p.cameraB).c_str(),
                      p.matches, p.beforeDegrees, p.afterDegrees);
        out << line;
    }
    out << "camera  rotation correction (deg)  centre shift (px)  k0 factor\n";
    for (std::size_t c = 0; c < r.corrections.size(); ++c) {
        const CameraCorrection& k = r.corrections[c];
        char line[256];
        std::snprintf(line, sizeof line, "%6zu  %25.4f  %7.2f %7.2f   %9.6f\n", c + 1, cv::norm(k.rotation) * kDegrees,
                      k.centreShift[0], k.centreShift[1], k.k0Scale);
        out << line;
    }
}

void writeCheckJson(std::ostream& out, const CheckResult& result, const std::string& calibration)
{
    using tools::jsonString;
    out << "{\"calibration\":" << jsonString(calibration) << ",\"frames\":" << frameList(result.frames)
        << ",\"residualDeg\":" << number(result.worstDegrees) << ",\"thresholdDeg\":"
        << number(result.thresholdDegrees) << ",\"passed\":" << (result.passed ? "true" : "false") << ",\n\"pairs\":[";
    for (std::size_t i = 0; i < result.pairs.size(); ++i) {
        const PairCheck& p = result.pairs[i];
        out << (i ? ",\n" : "\n") << "{\"cameras\":[" << p.cameraA + 1 << "," << p.cameraB + 1
            << "],\"matches\":" << p.matches << ",\"medianResidualDeg\":" << number(p.medianDegrees) << "}";
    }
    out << "\n]}\n";
}

void writeCheckText(std::ostream& out, const CheckResult& result)
{
    out << "pair                                   matches  residual (median, deg)\n";
    for (const PairCheck& p : result.pairs) {
        char line[256];
        std::snprintf(line, sizeof line, "%-38s %7zu  %8.4f\n", pairName(p.cameraA, p.cameraB).c_str(), p.matches,
                      p.medianDegrees);
        out << line;
    }
    out << checkSummary(result) << "\n";
}

} // namespace calibrate
