// A reader for the small XML documents of the engine update (the manifest):
// it builds a tree from text held in memory and answers "which child has
// this name" and "what is this attribute's value". Bytes are not
// interpreted (UTF-8 and 8-bit code pages read alike); attribute values and
// names keep the form they have in the text and are decoded when read.
//
// Bounds, because the text comes from the network: a document over
// kMaxXmlDocumentBytes is refused whole (status kXmlNoElement, an empty root
// named "root"); nesting deeper than kMaxXmlDepth or more than
// kMaxXmlElements elements stop reading with status kXmlUnclosedElement,
// keeping what was read before. Document type declarations (with any entity
// declarations inside) are skipped; entities are never expanded.
//
// The parser owns its document and every node in it; pointers into the tree
// stay valid until the next Load or the parser's destruction. Not thread
// safe; the updater uses it on the service worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxXmlDocumentBytes = 1024 * 1024;
inline constexpr int kMaxXmlDepth = 32;
inline constexpr int kMaxXmlElements = 10000;
// Decoded names are compared through this many bytes (terminator included);
// a longer name never matches.
inline constexpr std::size_t kXmlNameBuffer = 128;
// Attribute names and values are read through this many bytes.
inline constexpr std::size_t kXmlAttributeBuffer = 256;

enum XmlStatus : std::int32_t {
    kXmlRead = 0,
    kXmlNoElement = 1,        // no declaration, no element, or a refused document
    kXmlUnclosedElement = 2,  // an element without end, or a bound reached
};

struct CXmlElement;

struct CXmlAttribute {
    std::string name;   // as in the text, entities not decoded
    std::string value;  // as in the text, entities not decoded
    const CXmlElement* owner = nullptr;
};

// A text piece, comment or CDATA section. `position` is the number of child
// elements the owner had when the piece was read.
struct CXmlPiece {
    const CXmlElement* owner = nullptr;
    std::string text;
    std::int32_t position = 0;
};

struct CXmlElement {
    CXmlElement* parent = nullptr;
    // With the five characters & (unless followed by #), >, <, " and '
    // escaped as named references.
    std::string name;
    std::vector<std::unique_ptr<CXmlElement>> children;  // owned, in document order
    std::vector<CXmlAttribute> attributes;
    std::vector<CXmlPiece> comments;
    std::vector<CXmlPiece> texts;
    std::vector<CXmlPiece> cdata;
};

struct CXmlDeclaration {
    std::string text;                 // up to and including "?>"
    std::vector<CXmlPiece> comments;  // outside every element: position 0 before, 1 after
};

class CXMLParserNorvex {
public:
    CXMLParserNorvex() = default;
    virtual ~CXMLParserNorvex() = default;
    CXMLParserNorvex(const CXMLParserNorvex&) = delete;
    CXMLParserNorvex& operator=(const CXMLParserNorvex&) = delete;

    // Discards the current document and reads `text` into a new one. Always
    // 1; problems are recorded in Status().
    int Load(std::string_view text);

    // The document's status, root (null before the first Load) and
    // declaration.
    XmlStatus Status() const { return status_; }
    const CXmlElement* Root() const { return root_.get(); }
    const CXmlDeclaration& Declaration() const { return declaration_; }

    // The first child, in document order, whose decoded name equals `name`
    // without regard to (ASCII) letter case. Null for a null element.
    static const CXmlElement* FindChild(const CXmlElement* element, std::string_view name);

    // Decodes the value of the first attribute whose decoded name equals
    // `name` exactly into `buffer` (NUL-terminated) and answers the decoded
    // length. 0, buffer untouched, when there is no such attribute or its
    // decoded value does not fit in `capacity` bytes with the terminator.
    // With a null buffer: the length of the stored (undecoded) value.
    static std::size_t GetAttribute(const CXmlElement* element, std::string_view name, char* buffer,
                                    std::size_t capacity = kXmlAttributeBuffer);

    // Replaces the five named references and drops numeric ones (with the
    // character after their digits); any other "&" is kept as it is.
    static std::string Decode(std::string_view text);

private:
    class Reader;

    XmlStatus status_ = kXmlRead;
    CXmlDeclaration declaration_;
    std::unique_ptr<CXmlElement> root_;
};
