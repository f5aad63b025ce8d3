#include "StitchLib/input/CalibrationText.h"

#include "StitchLib/input/ImageLimits.h"

#include <yaml.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace orb {
namespace input {
namespace {

const char* const kMatrixTag = "tag:yaml.org,2002:opencv-matrix";

class Parser {
public:
    explicit Parser(const std::string& text)
    {
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    ~Parser() { yaml_parser_delete(&parser_); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event, owned by the caller's Event; false on a syntax error.
    bool next(yaml_event_t& event) { return yaml_parser_parse(&parser_, &event) != 0; }

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

class Event {
public:
    Event() = default;
    ~Event() { yaml_event_delete(&event_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    yaml_event_t event_{};
};

// The document as a tree; children are indices, so no destructor recurses.
struct Node {
    enum Kind { Scalar, Sequence, Mapping } kind = Scalar;
    std::string text;       // scalar value as written out (quoted if it was)
    bool matrix = false;    // mapping tagged !!opencv-matrix
    std::vector<int> children;  // mapping: key, value, key, value...
    std::size_t line = 0;   // a mapping value's is its key's
    std::string key;        // a mapping value's key
};

const char* const kMatrixKeys[] = {"rows", "cols", "dt", "data", "sizes"};

// The value of `key` in `mapping`, null if absent; `count` says how often it occurs.
const Node* entry(const std::vector<Node>& nodes, const Node& mapping, const char* key, int* count = nullptr)
{
    const Node* found = nullptr;
    int seen = 0;
    for (std::size_t i = 0; i + 1 < mapping.children.size(); i += 2) {
        if (nodes[mapping.children[i]].text == key) {
            if (found == nullptr)
                found = &nodes[mapping.children[i + 1]];
            ++seen;
        }
    }
    if (count != nullptr)
        *count = seen;
    return found;
}

// A plain decimal count, as OpenCV writes matrix sizes; six digits at most, so that
// products of a few stay far from overflow.
bool smallCount(const Node& node, long& value)
{
    if (node.kind != Node::Scalar || node.text.empty() || node.text.size() > 6 ||
        node.text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stol(node.text);
    return true;
}

// A number as OpenCV writes matrix elements: decimal with optional fraction and
// exponent, or .nan / .inf with a sign.
bool matrixNumber(const std::string& text)
{
    std::size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
    std::string special = text.substr(i);
    std::transform(special.begin(), special.end(), special.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    if (special == ".nan" || special == ".inf")
        return true;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i - from;
    };
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == text.size();
}

// Whether OpenCV could take `mapping` for a matrix: it reads any mapping it is asked
// for as one, tagged or not, by these keys.
bool looksLikeMatrix(const std::vector<Node>& nodes, const Node& mapping)
{
    if (mapping.matrix)
        return true;
    for (const char* key : kMatrixKeys) {
        if (entry(nodes, mapping, key) != nullptr)
            return true;
    }
    return false;
}

// OpenCV sizes a matrix from its header before reading the data: the header must
// be one the data can fill, or a few bytes of text could claim gigabytes. A
// string where a size belongs reads as 2147483647.
std::string checkMatrix(const std::vector<Node>& nodes, const Node& matrix)
{
    const std::string at = "not a calibration: the matrix" + (matrix.key.empty() ? "" : " '" + matrix.key + "'") +
                           " at line " + std::to_string(matrix.line + 1);
    for (const char* key : kMatrixKeys) {
        int count = 0;
        entry(nodes, matrix, key, &count);
        if (count > 1)
            return at + " has '" + key + "' " + std::to_string(count) + " times";
    }
    const auto shown = [](const Node& node) {
        // Quoted text is shown as written inside the quotes.
        const bool quoted = node.text.size() >= 2 && node.text[0] == '"';
        return node.kind == Node::Scalar ? "'" + node.text.substr(quoted, std::min<std::size_t>(node.text.size() - 2 * quoted, 40)) + "'"
                                         : std::string(node.kind == Node::Sequence ? "a list" : "a mapping");
    };

    const Node* dt = entry(nodes, matrix, "dt");
    if (dt == nullptr)
        return at + " has no 'dt' (element type)";
    const bool typeOk = dt->kind == Node::Scalar &&
                        (dt->text.size() == 1 || (dt->text.size() == 2 && dt->text[0] >= '1' && dt->text[0] <= '4')) &&
                        std::strchr("ucwsifd", dt->text.back()) != nullptr;
    if (!typeOk)
        return at + ": 'dt' is " + shown(*dt) + ", not a type letter (u c w s i f d) after at most one channel digit";
    const long channels = dt->text.size() == 2 ? dt->text[0] - '0' : 1;

    // OpenCV takes rows and cols if there are rows, else the list of sizes.
    const Node* rows = entry(nodes, matrix, "rows");
    const Node* cols = entry(nodes, matrix, "cols");
    const Node* sizes = entry(nodes, matrix, "sizes");
    long elements = channels;
    if (rows != nullptr || cols != nullptr) {
        if (sizes != nullptr)
            return at + " has both 'sizes' and 'rows'/'cols'";
        if (rows == nullptr || cols == nullptr)
            return at + " has " + (rows == nullptr ? "'cols' but no 'rows'" : "'rows' but no 'cols'");
        for (const auto& [key, node] : {std::make_pair("rows", rows), std::make_pair("cols", cols)}) {
            long value = 0;
            if (!smallCount(*node, value))
                return at + ": '" + key + "' is " + shown(*node) + ", not a whole number below 1000000";
            elements *= value;
        }
    } else if (sizes != nullptr) {
        // OpenCV's limit on dimensions.
        if (sizes->kind != Node::Sequence || sizes->children.empty() || sizes->children.size() > 32)
            return at + ": 'sizes' is not a list of 1 to 32 whole numbers";
        for (int child : sizes->children) {
            long value = 0;
            if (!smallCount(nodes[child], value))
                return at + ": 'sizes' holds " + shown(nodes[child]) + ", not a whole number below 1000000";
            // The data bounds the product; stop before it could overflow.
            elements = std::min(elements * value, static_cast<long>(kMaxCalibrationBytes) + 1);
        }
    } else {
        return at + " has neither 'rows' and 'cols' nor 'sizes'";
    }

    const Node* data = entry(nodes, matrix, "data");
    if (data == nullptr)
        return at + " has no 'data'";
    if (data->kind != Node::Sequence)
        return at + ": 'data' is " + shown(*data) + ", not a list of numbers";
    for (int child : data->children) {
        if (nodes[child].kind != Node::Scalar || !matrixNumber(nodes[child].text))
            return at + ": 'data' holds " + shown(nodes[child]) + ", not a number";
    }
    if (static_cast<std::size_t>(elements) != data->children.size()) {
        return at + ": 'data' holds " + std::to_string(data->children.size()) +
               " values where its size and type call for " + std::to_string(elements);
    }
    return {};
}

// Names and numbers, written plain as OpenCV writes them.
bool plainToken(const char* value, std::size_t length)
{
    // OpenCV's parser works line by line in a bounded buffer: keep tokens short.
    if (length == 0 || length > 64)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = value[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '.' || c == '+' || c == '-';
        if (!ok)
            return false;
    }
    // A leading '-' must start a number, never read as a sequence entry.
    return value[0] != '-' || (length > 1 && (value[1] == '.' || (value[1] >= '0' && value[1] <= '9')));
}

// Short free text as a value (a rig name, a note), written double-quoted: no quote,
// backslash or control character that would need escaping.
bool quotableText(const char* value, std::size_t length)
{
    if (length == 0 || length > 256)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = value[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::strchr(" _.+-,:;/()=", c) != nullptr;
        if (!ok || c == '\0')
            return false;
    }
    return true;
}

class Writer {
public:
    explicit Writer(const std::vector<Node>& nodes) : nodes_(nodes) {}

    std::string document(int root)
    {
        out_ = "%YAML:1.0\n---\n";
        mappingEntries(root, 0);
        return out_;
    }

private:
    bool scalarsOnly(const Node& sequence) const
    {
        for (int child : sequence.children) {
            if (nodes_[child].kind != Node::Scalar)
                return false;
        }
        return true;
    }

    // What follows "key:" or "-": the value on the same line or an indented block.
    // Depth is bounded by kMaxCalibrationDepth, so the recursion is too.
    void value(int index, int indent)
    {
        const Node& node = nodes_[index];
        if (node.kind == Node::Scalar) {
            out_ += " " + node.text + "\n";
        } else if (node.kind == Node::Sequence && scalarsOnly(node)) {
            // Eight values a line, continued further in, as OpenCV writes matrices.
            out_ += " [";
            for (std::size_t i = 0; i < node.children.size(); ++i) {
                if (i > 0)
                    out_ += i % 8 == 0 ? ",\n" + std::string(indent + 4, ' ') : ",";
                out_ += " " + nodes_[node.children[i]].text;
            }
            out_ += node.children.empty() ? "]\n" : " ]\n";
        } else if (node.kind == Node::Sequence) {
            out_ += "\n";
            for (int child : node.children) {
                out_ += std::string(indent + 3, ' ') + "-";
                value(child, indent + 3);
            }
        } else {
            out_ += node.matrix ? " !!opencv-matrix\n" : "\n";
            mappingEntries(index, indent + 3);
        }
    }

    void mappingEntries(int index, int indent)
    {
        const Node& node = nodes_[index];
        for (std::size_t i = 0; i + 1 < node.children.size(); i += 2) {
            out_ += std::string(indent, ' ') + nodes_[node.children[i]].text + ":";
            value(node.children[i + 1], indent);
        }
    }

    const std::vector<Node>& nodes_;
    std::string out_;
};

std::string check(const std::string& text, std::string& canonical)
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

    Parser parser(body);
    std::vector<Node> nodes;
    std::vector<int> open;  // containers being filled, innermost last
    int root = -1;
    int documents = 0;
    for (;;) {
        Event event;
        if (!parser.next(event.event_))
            return parser.problem();
        const yaml_event_t& e = event.event_;
        if (e.type == YAML_STREAM_END_EVENT)
            break;
        if (e.type == YAML_DOCUMENT_START_EVENT && ++documents > 1)
            return "more than one YAML document";
        if (e.type == YAML_ALIAS_EVENT)
            return "not a calibration: it uses a YAML alias";
        if (e.type == YAML_SEQUENCE_END_EVENT || e.type == YAML_MAPPING_END_EVENT) {
            open.pop_back();
            continue;
        }
        if (e.type != YAML_SCALAR_EVENT && e.type != YAML_SEQUENCE_START_EVENT && e.type != YAML_MAPPING_START_EVENT)
            continue;

        Node node;
        node.line = e.start_mark.line;
        const yaml_char_t* anchor = nullptr;
        const yaml_char_t* tag = nullptr;
        if (e.type == YAML_SCALAR_EVENT) {
            anchor = e.data.scalar.anchor;
            tag = e.data.scalar.plain_implicit || e.data.scalar.quoted_implicit ? nullptr : e.data.scalar.tag;
            const char* value = reinterpret_cast<const char*>(e.data.scalar.value);
            const std::size_t length = e.data.scalar.length;
            const bool isKey = !open.empty() && nodes[open.back()].kind == Node::Mapping &&
                               nodes[open.back()].children.size() % 2 == 0;
            const bool plain = plainToken(value, length);
            if (!plain && (isKey || !quotableText(value, length))) {
                return "not a calibration: the " + std::string(isKey ? "key" : "value") + " '" +
                       std::string(value, std::min<std::size_t>(length, 40)) + "' at line " +
                       std::to_string(e.start_mark.line + 1) +
                       (isKey ? " is not a short name" : " is not a short name, number or text");
            }
            node.text = plain && e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE ? std::string(value, length)
                                                                                : "\"" + std::string(value, length) + "\"";
        } else if (e.type == YAML_SEQUENCE_START_EVENT) {
            node.kind = Node::Sequence;
            anchor = e.data.sequence_start.anchor;
            tag = e.data.sequence_start.implicit ? nullptr : e.data.sequence_start.tag;
        } else {
            node.kind = Node::Mapping;
            anchor = e.data.mapping_start.anchor;
            tag = e.data.mapping_start.implicit ? nullptr : e.data.mapping_start.tag;
            node.matrix = tag != nullptr && std::strcmp(reinterpret_cast<const char*>(tag), kMatrixTag) == 0;
        }
        if (anchor != nullptr)
            return "not a calibration: it uses a YAML anchor";
        if (tag != nullptr && !node.matrix)
            return "not a calibration: it uses the tag '" + std::string(reinterpret_cast<const char*>(tag)) + "'";

        const int index = static_cast<int>(nodes.size());
        if (open.empty()) {
            if (node.kind != Node::Mapping)
                return "not a calibration: its root is not a mapping";
            root = index;
        } else {
            Node& parent = nodes[open.back()];
            // Keys are names; a mapping or sequence as a key is no calibration.
            if (parent.kind == Node::Mapping && parent.children.size() % 2 == 0 && node.kind != Node::Scalar)
                return "not a calibration: a mapping key is not a name";
            if (parent.kind == Node::Mapping && parent.children.size() % 2 == 1) {
                node.key = nodes[parent.children.back()].text;
                node.line = nodes[parent.children.back()].line;
            }
            parent.children.push_back(index);
        }
        const bool container = node.kind != Node::Scalar;
        nodes.push_back(std::move(node));
        if (container) {
            open.push_back(index);
            if (static_cast<int>(open.size()) > kMaxCalibrationDepth)
                return "nested more than " + std::to_string(kMaxCalibrationDepth) + " levels deep";
        }
    }
    if (root < 0)
        return "not a calibration: the document is empty";
    for (const Node& node : nodes) {
        if (node.kind == Node::Mapping && node.children.empty())
            return "not a calibration: it holds an empty mapping";
        if (node.kind == Node::Mapping && looksLikeMatrix(nodes, node)) {
            const std::string problem = checkMatrix(nodes, node);
            if (!problem.empty())
                return problem;
        }
    }
    canonical = Writer(nodes).document(root);
    return {};
}

} // namespace

std::string canonicalCalibrationText(const std::string& text, std::string& canonical)
{
    canonical.clear();
    const std::string problem = check(text, canonical);
    if (!problem.empty())
        canonical.clear();
    return problem;
}

} // namespace input
} // namespace orb
