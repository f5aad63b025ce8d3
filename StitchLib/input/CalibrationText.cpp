#include "StitchLib/input/CalibrationText.h"

#include "StitchLib/input/ImageLimits.h"

#include <yaml.h>

namespace orb {
namespace input {
namespace {

class YamlParser {
public:
    explicit YamlParser(const std::string& text)
    {
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    ~YamlParser() { yaml_parser_delete(&parser_); }
    YamlParser(const YamlParser&) = delete;
    YamlParser& operator=(const YamlParser&) = delete;

    // Next event type, or YAML_NO_EVENT on a syntax error.
    yaml_event_type_t next()
    {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser_, &event))
            return YAML_NO_EVENT;
        const yaml_event_type_t type = event.type;
        yaml_event_delete(&event);
        return type;
    }

    std::string problem() const
    {
        std::string text = "not valid YAML: ";
        text += parser_.problem ? parser_.problem : "syntax error";
        return text + " at line " + std::to_string(parser_.problem_mark.line + 1) + ", column " +
               std::to_string(parser_.problem_mark.column + 1);
    }

private:
    yaml_parser_t parser_;
};

} // namespace

std::string findCalibrationTextProblem(const std::string& text)
{
    if (text.size() > kMaxCalibrationBytes)
        return "larger than " + std::to_string(kMaxCalibrationBytes) + " bytes";
    if (text.compare(0, 5, "%YAML") != 0)
        return "not a YAML document: no %YAML line at the start";
    if (text.find('\0') != std::string::npos)
        return "not a YAML document: it holds a NUL byte";
    // OpenCV writes "%YAML:1.0", which is not a directive libyaml accepts; blank the
    // line (keeping line numbers) and let the document stand without it.
    std::string body = text;
    for (std::size_t i = 0; i < body.size() && body[i] != '\n' && body[i] != '\r'; ++i)
        body[i] = ' ';

    YamlParser parser(body);
    int depth = 0;
    for (;;) {
        switch (parser.next()) {
        case YAML_NO_EVENT:
            return parser.problem();
        case YAML_STREAM_END_EVENT:
            return {};
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT:
            if (++depth > kMaxCalibrationDepth)
                return "nested more than " + std::to_string(kMaxCalibrationDepth) + " levels deep";
            break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
            --depth;
            break;
        default:
            break;
        }
    }
}

} // namespace input
} // namespace orb
