#include "BatchReport.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <map>

namespace batch {

namespace {

std::string number(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return buffer;
}

// Fixed-size fields in the machine's own byte order: both ends are the same program.
template <typename T>
void put(std::string& out, const T& value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void put(std::string& out, const std::string& text)
{
    put(out, static_cast<std::uint64_t>(text.size()));
    out += text;
}

void put(std::string& out, const std::vector<std::pair<std::string, double>>& figures)
{
    put(out, static_cast<std::uint64_t>(figures.size()));
    for (const auto& [name, value] : figures) {
        put(out, name);
        put(out, value);
    }
}

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    template <typename T>
    void get(T& value)
    {
        std::memcpy(&value, take(sizeof value), sizeof value);
    }
    void get(std::string& text)
    {
        std::uint64_t size = 0;
        get(size);
        text.assign(take(size), size);
    }
    void get(std::vector<std::pair<std::string, double>>& figures)
    {
        std::uint64_t count = 0;
        get(count);
        figures.clear();
        for (std::uint64_t i = 0; i < count; ++i) {
            std::pair<std::string, double> figure;
            get(figure.first);
            get(figure.second);
            figures.push_back(std::move(figure));
        }
    }
    bool atEnd() const { return at_ == bytes_.size(); }

private:
    const char* take(std::uint64_t size)
    {
        if (size > bytes_.size() - at_)
            throw std::runtime_error("a worker's frame result is cut short");
        const char* start = bytes_.data() + at_;
        at_ += size;
        return start;
    }
    const std::string& bytes_;
    std::size_t at_ = 0;
};

} // namespace

std::string encodeResult(const FrameResult& r)
{
    std::string out;
    put(out, r.frame);
    put(out, r.status);
    put(out, r.output);
    put(out, r.mode);
    put(out, r.seconds);
    put(out, r.coverage);
    put(out, r.depth);
    put(out, r.error);
    put(out, static_cast<std::uint64_t>(r.warnings.size()));
    for (const std::string& warning : r.warnings)
        put(out, warning);
    return out;
}

FrameResult decodeResult(const std::string& bytes)
{
    FrameResult r;
    Reader in(bytes);
    in.get(r.frame);
    in.get(r.status);
    in.get(r.output);
    in.get(r.mode);
    in.get(r.seconds);
    in.get(r.coverage);
    in.get(r.depth);
    in.get(r.error);
    std::uint64_t warnings = 0;
    in.get(warnings);
    for (std::uint64_t i = 0; i < warnings; ++i) {
        std::string warning;
        in.get(warning);
        r.warnings.push_back(std::move(warning));
    }
    if (!in.atEnd())
        throw std::runtime_error("a worker's frame result has bytes left over");
    return r;
}

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
