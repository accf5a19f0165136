#include "updater/xml_parser.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::string_view kPlainDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t npos = std::string_view::npos;

bool StartsWith(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.size() >= at && text.substr(at).starts_with(prefix);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string EscapeName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        switch (name[i]) {
            case '&':
                if (i + 1 < name.size() && name[i + 1] == '#')
                    out += '&';
                else
                    out += "&amp;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += name[i];
        }
    }
    return out;
}

std::unique_ptr<CXmlElement> EmptyRoot() {
    auto root = std::make_unique<CXmlElement>();
    root->name = "root";
    return root;
}

enum class TagKind { kComment, kCdata, kSkipped, kEnd, kEmpty, kStart };

}  // namespace

// One pass over a text. Positions are offsets into `text_`; every search is
// bounded by the text's end, and the depth and element bounds stop the pass
// (status 2) before a hostile document can exhaust the stack or memory.
class CXMLParserNorvex::Reader {
public:
    Reader(std::string_view text, CXMLParserNorvex* owner) : text_(text), owner_(owner) {}

    // Reads one level from `from` up to `to` (exclusive). Children go to
    // `parent`; without a parent the level's result is returned instead.
    std::unique_ptr<CXmlElement> ReadLevel(CXmlElement* parent, std::size_t from, std::size_t to,
                                           int depth) {
        std::unique_ptr<CXmlElement> lastWithContent;
        std::unique_ptr<CXmlElement> firstEmpty;
        std::unique_ptr<CXmlElement> pending;  // with content, waiting for its end tag
        bool seenElement = false;
        std::size_t at = from;
        while (!stopped_) {
            std::size_t lt = text_.substr(0, to).find('<', at);
            if (lt == npos) {
                AddText(parent, text_.substr(at, to - at));
                break;
            }
            AddText(parent, text_.substr(at, lt - at));
            std::size_t gt = FindTagEnd(lt, to);
            if (gt == npos) break;
            const TagKind kind = KindOf(lt, gt);
            switch (kind) {
                case TagKind::kComment: {
                    std::size_t begin = lt + 4;
                    std::size_t end = gt >= 2 ? gt - 2 : 0;
                    std::string text(begin < end ? text_.substr(begin, end - begin) : "");
                    if (parent)
                        parent->comments.push_back(
                            {parent, std::move(text), static_cast<int>(parent->children.size())});
                    else
                        owner_->declaration_.comments.push_back(
                            {nullptr, std::move(text), seenElement ? 1 : 0});
                    break;
                }
                case TagKind::kCdata:
                    if (parent) {
                        std::size_t begin = lt + 9;
                        std::size_t end = gt - 2;
                        parent->cdata.push_back(
                            {parent,
                             std::string(begin < end ? text_.substr(begin, end - begin) : ""),
                             static_cast<int>(parent->children.size())});
                    }
                    break;
                case TagKind::kSkipped:
                    break;
                case TagKind::kEnd:
                    if (pending && parent) parent->children.push_back(std::move(pending));
                    pending.reset();
                    break;
                case TagKind::kEmpty: {
                    auto element = Build(parent, lt, gt, depth + 1);
                    if (!element) break;
                    seenElement = true;
                    if (parent)
                        parent->children.push_back(std::move(element));
                    else if (!firstEmpty)
                        firstEmpty = std::move(element);
                    break;
                }
                case TagKind::kStart: {
                    std::size_t endTag = FindElementEnd(gt + 1, to);
                    if (endTag == npos) {
                        Stop();
                        break;
                    }
                    auto element = Build(parent, lt, gt, depth + 1);
                    if (!element) break;
                    seenElement = true;
                    (void)ReadLevel(element.get(), gt + 1, endTag, depth + 1);
                    if (parent) {
                        // A pass that stopped inside keeps what it read.
                        if (stopped_)
                            parent->children.push_back(std::move(element));
                        else
                            pending = std::move(element);
                    } else {
                        lastWithContent = std::move(element);
                    }
                    // The end tag is handled by the next turn.
                    at = endTag;
                    continue;
                }
            }
            at = gt + 1;
        }
        if (pending && parent) parent->children.push_back(std::move(pending));
        return lastWithContent ? std::move(lastWithContent) : std::move(firstEmpty);
    }

private:
    void Stop() {
        if (owner_->status_ == kXmlRead) owner_->status_ = kXmlUnclosedElement;
        stopped_ = true;
    }

    void AddText(CXmlElement* parent, std::string_view raw) {
        std::string_view text = Trim(raw);
        if (!parent || text.empty()) return;
        parent->texts.push_back(
            {parent, std::string(text), static_cast<int>(parent->children.size())});
    }

    // The position of the ">" that ends the markup starting at `lt`, or npos.
    std::size_t FindTagEnd(std::size_t lt, std::size_t to) const {
        std::string_view text = text_.substr(0, to);
        if (StartsWith(text, lt, "<![CDATA")) {
            std::size_t end = text.find("]]>", lt);
            return end == npos ? npos : end + 2;
        }
        if (StartsWith(text, lt, "<!--")) {
            std::size_t end = text.find("-->", lt + 4);
            return end == npos ? npos : end + 2;
        }
        if (StartsWith(text, lt, "<!")) {
            // A document type declaration may carry an internal subset in
            // brackets whose declarations hold ">" of their own.
            std::size_t gt = text.find('>', lt);
            if (gt == npos) return npos;
            // Only a bracket inside this tag counts; searching further would
            // make a text of many small "<!" tags quadratic.
            std::size_t bracket = text.substr(0, gt).find('[', lt);
            if (bracket == npos) return gt;
            for (std::size_t close = text.find(']', bracket); close != npos;
                 close = text.find(']', close + 1)) {
                std::size_t after = close + 1;
                while (after < text.size() && IsBlank(text[after])) ++after;
                if (after < text.size() && text[after] == '>') return after;
            }
            return npos;
        }
        if (StartsWith(text, lt, "<?")) return text.find('>', lt);
        // An ordinary tag: a ">" inside a double-quoted value does not end it.
        bool quoted = false;
        for (std::size_t i = lt + 1; i < text.size(); ++i) {
            if (text[i] == '"') quoted = !quoted;
            if (text[i] == '>' && !quoted) return i;
        }
        return npos;
    }

    TagKind KindOf(std::size_t lt, std::size_t gt) const {
        if (StartsWith(text_, lt, "<!--") || StartsWith(text_, lt, "<?")) return TagKind::kComment;
        if (StartsWith(text_, lt, "<![CDATA[")) return TagKind::kCdata;
        if (StartsWith(text_, lt, "<!")) return TagKind::kSkipped;
        if (StartsWith(text_, lt, "</")) return TagKind::kEnd;
        if (gt > lt + 1 && text_[gt - 1] == '/') return TagKind::kEmpty;
        return TagKind::kStart;
    }

    // From just after a start tag: the "<" of the end tag that balances it,
    // counting nested start and end tags; npos without one.
    std::size_t FindElementEnd(std::size_t from, std::size_t to) const {
        int open = 1;
        std::size_t at = from;
        for (;;) {
            std::size_t lt = text_.substr(0, to).find('<', at);
            if (lt == npos) return npos;
            std::size_t gt = FindTagEnd(lt, to);
            if (gt == npos) return npos;
            switch (KindOf(lt, gt)) {
                case TagKind::kEnd:
                    if (--open == 0) return lt;
                    break;
                case TagKind::kStart:
                    ++open;
                    break;
                default:
                    break;
            }
            at = gt + 1;
        }
    }

    // An element from the tag text between `lt` and `gt`; null (and the pass
    // stopped) past the depth or element bounds.
    std::unique_ptr<CXmlElement> Build(CXmlElement* parent, std::size_t lt, std::size_t gt,
                                       int depth) {
        if (depth > kMaxXmlDepth || ++elements_ > kMaxXmlElements) {
            Stop();
            return nullptr;
        }
        std::string_view tag = text_.substr(lt, gt - lt + 1);
        auto element = std::make_unique<CXmlElement>();
        element->parent = parent;
        std::size_t i = 1;
        while (i < tag.size() && !IsBlank(tag[i]) && tag[i] != '"' && tag[i] != '/' &&
               tag[i] != '>')
            ++i;
        element->name = EscapeName(tag.substr(1, i - 1));
        for (;;) {
            while (i < tag.size() && IsBlank(tag[i])) ++i;
            if (i >= tag.size() || tag[i] == '>' || tag[i] == '/') break;
            std::size_t eq = tag.find('=', i);
            if (eq == npos) break;
            std::string_view name = Trim(tag.substr(i, eq - i));
            std::size_t valueAt = eq + 1;
            char quote = '"';
            if (valueAt < tag.size() && (tag[valueAt] == '"' || tag[valueAt] == '\''))
                quote = tag[valueAt++];
            std::size_t close = tag.find(quote, valueAt);
            if (close == npos) break;
            element->attributes.push_back({std::string(name),
                                           std::string(tag.substr(valueAt, close - valueAt)),
                                           element.get()});
            i = close + 1;
        }
        return element;
    }

    std::string_view text_;
    CXMLParserNorvex* owner_;
    int elements_ = 0;
    bool stopped_ = false;
};

int CXMLParserNorvex::Load(std::string_view text) {
    status_ = kXmlRead;
    declaration_ = CXmlDeclaration{};
    root_.reset();
    // The manifest arrives as a zero-terminated copy; nothing after a NUL counts.
    text = text.substr(0, text.find('\0'));
    if (text.size() > kMaxXmlDocumentBytes) {
        status_ = kXmlNoElement;
        declaration_.text = std::string(kByteOrderMark) + std::string(kPlainDeclaration);
        root_ = EmptyRoot();
        return 1;
    }
    if (text.empty()) {
        declaration_.text = kPlainDeclaration;
        root_ = EmptyRoot();
        return 1;
    }
    std::size_t start = 0;
    if (std::size_t end = text.find("?>"); end != npos) {
        declaration_.text = text.substr(0, end + 2);
        start = end + 2;
    } else {
        status_ = kXmlNoElement;
        declaration_.text = std::string(kByteOrderMark) + std::string(kPlainDeclaration);
    }
    std::size_t lt = text.find('<', start);
    if (lt == npos) {
        status_ = kXmlNoElement;
        root_ = EmptyRoot();
        return 1;
    }
    Reader reader(text, this);
    root_ = reader.ReadLevel(nullptr, lt, text.size(), 0);
    return 1;
}

std::string CXMLParserNorvex::Decode(std::string_view text) {
    static constexpr struct {
        std::string_view reference;
        char character;
    } kNamed[] = {{"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}};
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        bool replaced = false;
        for (const auto& named : kNamed) {
            if (StartsWith(text, i, named.reference)) {
                out += named.character;
                i += named.reference.size();
                replaced = true;
                break;
            }
        }
        if (replaced) continue;
        auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
        auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
        if (StartsWith(text, i, "&#x")) {
            i += 3;
            while (i < text.size() && isHex(text[i])) ++i;
            if (i < text.size()) ++i;  // the ";" (or whatever stands there)
        } else if (StartsWith(text, i, "&#") && i + 2 < text.size() && isDigit(text[i + 2])) {
            i += 2;
            while (i < text.size() && isDigit(text[i])) ++i;
            if (i < text.size()) ++i;
        } else {
            out += text[i++];  // a lone "&" stays as it is
        }
    }
    return out;
}

const CXmlElement* CXMLParserNorvex::FindChild(const CXmlElement* element, std::string_view name) {
    if (!element || name.size() >= kXmlNameBuffer) return nullptr;
    const std::string wanted = Lower(name);
    for (const auto& child : element->children) {
        std::string decoded = Decode(child->name);
        if (decoded.size() < kXmlNameBuffer && Lower(decoded) == wanted) return child.get();
    }
    return nullptr;
}

std::size_t CXMLParserNorvex::GetAttribute(const CXmlElement* element, std::string_view name,
                                           char* buffer, std::size_t capacity) {
    if (!element) return 0;
    for (const CXmlAttribute& attribute : element->attributes) {
        std::string decodedName = Decode(attribute.name);
        if (decodedName.size() >= kXmlAttributeBuffer || decodedName != name) continue;
        if (!buffer) return attribute.value.size();
        std::string value = Decode(attribute.value);
        if (value.size() + 1 > capacity) return 0;
        std::copy(value.begin(), value.end(), buffer);
        buffer[value.size()] = '\0';
        return value.size();
    }
    return 0;
}
