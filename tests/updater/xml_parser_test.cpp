// The manifest reader: the documented shapes, the decoding of names and
// values, and the bounds that keep a hostile document cheap.
#include "updater/xml_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Attr(const CXmlElement* e, const char* name) {
    char buffer[kXmlAttributeBuffer];
    std::size_t n = CXMLParserNorvex::GetAttribute(e, name, buffer);
    return std::string(buffer, n);
}

}  // namespace

TEST(XmlReader, OneElementHoldingAnEmptyElementWithAnAttribute) {
    CXMLParserNorvex xml;
    EXPECT_EQ(xml.Load("<?xml version=\"1.0\"?><a><b x=\"1\"/></a>"), 1);
    EXPECT_EQ(xml.Status(), kXmlRead);
    ASSERT_NE(xml.Root(), nullptr);
    EXPECT_EQ(xml.Root()->name, "a");
    ASSERT_EQ(xml.Root()->children.size(), 1u);
    EXPECT_EQ(Attr(xml.Root()->children[0].get(), "x"), "1");
    EXPECT_EQ(xml.Declaration().text, "<?xml version=\"1.0\"?>");
}

TEST(XmlReader, ChildNamesIgnoreCaseAttributeNamesDoNot) {
    CXMLParserNorvex xml;
    (void)xml.Load(
        "<?xml?><r><File/><tlxdownloadv32.exe URL=\"u\" ver=\"3\"/><File id=\"second\"/></r>");
    const CXmlElement* file = CXMLParserNorvex::FindChild(xml.Root(), "file");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->attributes.empty()) << "the first match in document order";
    const CXmlElement* exe = CXMLParserNorvex::FindChild(xml.Root(), "TLXDownloadV32.exe");
    ASSERT_NE(exe, nullptr);
    EXPECT_EQ(Attr(exe, "url"), "");
    EXPECT_EQ(Attr(exe, "URL"), "u");
    EXPECT_EQ(CXMLParserNorvex::FindChild(nullptr, "file"), nullptr);
    EXPECT_EQ(CXMLParserNorvex::FindChild(xml.Root(), "none"), nullptr);
}

TEST(XmlReader, ValuesAreDecodedWhenReadAndKeptRawInTheTree) {
    CXMLParserNorvex xml;
    (void)xml.Load(
        "<?xml?><r a=\"a&amp;b\" b=\"a&#x41;b\" c=\"&lt;&gt;&quot;&apos;\" d=\"a&#65;b\" "
        "e=\"x&y\" f=\"x&#;y\" g=\"end&\" h=\"&#x41\"/>");
    const CXmlElement* r = xml.Root();
    EXPECT_EQ(Attr(r, "a"), "a&b");
    EXPECT_EQ(Attr(r, "b"), "ab");
    EXPECT_EQ(Attr(r, "c"), "<>\"'");
    EXPECT_EQ(Attr(r, "d"), "ab");
    EXPECT_EQ(Attr(r, "e"), "x&y") << "an unknown reference stays";
    EXPECT_EQ(Attr(r, "f"), "x&#;y");
    EXPECT_EQ(Attr(r, "g"), "end&") << "a trailing & ends the decoding";
    EXPECT_EQ(Attr(r, "h"), "") << "digits up to the end are dropped, nothing read past it";
    EXPECT_EQ(r->attributes[0].value, "a&amp;b");
}

TEST(XmlReader, LengthsBuffersAndAbsentAttributes) {
    CXMLParserNorvex xml;
    const std::string longValue(300, 'v');
    (void)xml.Load("<?xml?><r a=\"x&amp;y\" long=\"" + longValue + "\" ok=\"" +
                   std::string(255, 'w') + "\"/>");
    char buffer[kXmlAttributeBuffer] = "untouched";
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "a", nullptr), 7u) << "stored length";
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "a", buffer), 3u);
    EXPECT_STREQ(buffer, "x&y");
    std::strcpy(buffer, "untouched");
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "missing", buffer), 0u);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "long", buffer), 0u) << "refused";
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "ok", buffer), 255u) << "fits exactly";
    char small[4];
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "a", small, sizeof small), 3u);
    EXPECT_EQ(CXMLParserNorvex::GetAttribute(xml.Root(), "ok", small, sizeof small), 0u);
}

TEST(XmlReader, ElementNamesAreStoredEscapedAndFoundDecoded) {
    CXMLParserNorvex xml;
    (void)xml.Load("<?xml?><r><a&b'c/></r>");
    ASSERT_EQ(xml.Root()->children.size(), 1u);
    EXPECT_EQ(xml.Root()->children[0]->name, "a&amp;b&apos;c");
    EXPECT_NE(CXMLParserNorvex::FindChild(xml.Root(), "A&B'c"), nullptr);
    const std::string longName(130, 'n');
    (void)xml.Load("<?xml?><r><" + longName + "/></r>");
    EXPECT_EQ(CXMLParserNorvex::FindChild(xml.Root(), longName), nullptr)
        << "names past the 128-byte buffer never match";
}

TEST(XmlReader, WithoutDeclarationTheElementsAreStillRead) {
    CXMLParserNorvex xml;
    (void)xml.Load("<a><b/></a>");
    EXPECT_EQ(xml.Status(), kXmlNoElement);
    EXPECT_EQ(xml.Declaration().text,
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>");
    ASSERT_NE(xml.Root(), nullptr);
    EXPECT_EQ(xml.Root()->name, "a");
    EXPECT_EQ(xml.Root()->children.size(), 1u);
}

TEST(XmlReader, EmptyTextAndTextWithoutElements) {
    CXMLParserNorvex xml;
    (void)xml.Load("");
    EXPECT_EQ(xml.Status(), kXmlRead);
    EXPECT_EQ(xml.Root()->name, "root");
    EXPECT_EQ(xml.Declaration().text,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>");
    (void)xml.Load("<?xml?> just text");
    EXPECT_EQ(xml.Status(), kXmlNoElement);
    EXPECT_EQ(xml.Root()->name, "root");
    EXPECT_TRUE(xml.Root()->children.empty());
}

TEST(XmlReader, AMissingEndTagStopsButKeepsWhatCameBefore) {
    CXMLParserNorvex xml;
    (void)xml.Load("<?xml?><a x=\"1\"><c/></a><b><d/>");
    EXPECT_EQ(xml.Status(), kXmlUnclosedElement);
    ASSERT_NE(xml.Root(), nullptr);
    EXPECT_EQ(xml.Root()->name, "a");
    EXPECT_EQ(xml.Root()->children.size(), 1u);
    // End tags are counted, not matched by name: an inner element without
    // its end leaves the outer one unbalanced.
    (void)xml.Load("<?xml?><r><done></done><open><inner/></r>");
    EXPECT_EQ(xml.Status(), kXmlUnclosedElement);
    (void)xml.Load("<?xml?><r><done></done><open></x></r>");
    EXPECT_EQ(xml.Status(), kXmlRead);
    EXPECT_EQ(xml.Root()->children.size(), 2u);
}

TEST(XmlReader, TextPiecesAndCommentsWithTheirPositions) {
    CXMLParserNorvex xml;
    (void)xml.Load("<?xml?><!--before--><a> x <!--z--> y</a><!--after-->");
    const CXmlElement* a = xml.Root();
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->texts.size(), 2u);
    EXPECT_EQ(a->texts[0].text, "x");
    EXPECT_EQ(a->texts[1].text, "y");
    ASSERT_EQ(a->comments.size(), 1u);
    EXPECT_EQ(a->comments[0].text, "z");
    EXPECT_EQ(a->comments[0].position, 0);
    ASSERT_EQ(xml.Declaration().comments.size(), 2u);
    EXPECT_EQ(xml.Declaration().comments[0].text, "before");
    EXPECT_EQ(xml.Declaration().comments[0].position, 0);
    EXPECT_EQ(xml.Declaration().comments[1].position, 1);
}

TEST(XmlReader, CdataAndQuotedMarkup) {
    CXMLParserNorvex xml;
    (void)xml.Load("<?xml?><a><b/><![CDATA[<not an element>]]><c v=\"x>y/z\"/></a>");
    ASSERT_NE(xml.Root(), nullptr);
    ASSERT_EQ(xml.Root()->cdata.size(), 1u);
    EXPECT_EQ(xml.Root()->cdata[0].text, "<not an element>");
    EXPECT_EQ(xml.Root()->cdata[0].position, 1);
    ASSERT_EQ(xml.Root()->children.size(), 2u);
    EXPECT_EQ(Attr(xml.Root()->children[1].get(), "v"), "x>y/z");
}

TEST(XmlReader, DocumentTypeAndEntityDeclarationsAreSkippedNotExpanded) {
    CXMLParserNorvex xml;
    (void)xml.Load(
        "<?xml?><!DOCTYPE r [ <!ENTITY e \"expanded\"> <!ENTITY f \"&e;&e;\"> ]>"
        "<r v=\"&e;\"><child/></r>");
    ASSERT_NE(xml.Root(), nullptr);
    EXPECT_EQ(xml.Root()->name, "r");
    EXPECT_EQ(Attr(xml.Root(), "v"), "&e;");
    EXPECT_EQ(xml.Root()->children.size(), 1u);
}

TEST(XmlReader, AttributesOverLinesAndInSingleQuotes) {
    CXMLParserNorvex xml;
    (void)xml.Load("<?xml?><r>\r\n  <exe\r\n    ver=\"3.2\"\n\turl='https://h/x.7z'/>\n</r>");
    const CXmlElement* exe = CXMLParserNorvex::FindChild(xml.Root(), "exe");
    ASSERT_NE(exe, nullptr);
    EXPECT_EQ(Attr(exe, "ver"), "3.2");
    EXPECT_EQ(Attr(exe, "url"), "https://h/x.7z");
}

TEST(XmlReaderBounds, NestingBeyond32LevelsStops) {
    auto nested = [](int depth) {
        std::string text = "<?xml?>";
        for (int i = 0; i < depth; ++i) text += "<e>";
        for (int i = 0; i < depth; ++i) text += "</e>";
        return text;
    };
    CXMLParserNorvex xml;
    (void)xml.Load(nested(32));
    EXPECT_EQ(xml.Status(), kXmlRead);
    (void)xml.Load(nested(33));
    EXPECT_EQ(xml.Status(), kXmlUnclosedElement);
    ASSERT_NE(xml.Root(), nullptr);
    int depth = 1;
    for (const CXmlElement* e = xml.Root(); !e->children.empty(); e = e->children[0].get()) ++depth;
    EXPECT_EQ(depth, 32) << "what was read above the bound stays";
    // Half a megabyte of opening tags: bounded, and quick.
    std::string deep = "<?xml?>";
    while (deep.size() < 512 * 1024) deep += "<e>";
    (void)xml.Load(deep);
    EXPECT_EQ(xml.Status(), kXmlUnclosedElement);
}

TEST(XmlReaderBounds, MoreThanTenThousandElementsStop) {
    std::string text = "<?xml?><r>";
    for (int i = 0; i < kMaxXmlElements + 10; ++i) text += "<e/>";
    text += "</r>";
    CXMLParserNorvex xml;
    (void)xml.Load(text);
    EXPECT_EQ(xml.Status(), kXmlUnclosedElement);
    ASSERT_NE(xml.Root(), nullptr);
    EXPECT_EQ(xml.Root()->children.size(), static_cast<std::size_t>(kMaxXmlElements - 1));
}

TEST(XmlReaderBounds, DocumentsOverOneMebibyteAreRefusedWhole) {
    std::string text = "<?xml?><r><file ver=\"1\"/>";
    std::string fits = text + std::string(kMaxXmlDocumentBytes - text.size() - 4, ' ') + "</r>";
    ASSERT_EQ(fits.size(), kMaxXmlDocumentBytes);
    CXMLParserNorvex xml;
    (void)xml.Load(fits);
    EXPECT_EQ(xml.Status(), kXmlRead);
    EXPECT_NE(CXMLParserNorvex::FindChild(xml.Root(), "file"), nullptr);
    (void)xml.Load(fits + " ");
    EXPECT_EQ(xml.Status(), kXmlNoElement);
    EXPECT_EQ(xml.Root()->name, "root");
    EXPECT_EQ(CXMLParserNorvex::FindChild(xml.Root(), "file"), nullptr);
}

TEST(XmlReaderBounds, HostileFragmentsEndWithoutLooping) {
    const char* fragments[] = {"&",  "<",       "<?",         "<!--",        "<![CDATA[",
                               "<a", "<a b=\"", "<a b=\"c\"", "<!DOCTYPE [", "<a>&",
                               "</", "<a/><",   "<a>&#x",     "<a x=1 y>"};
    for (const char* f : fragments) {
        CXMLParserNorvex xml;
        EXPECT_EQ(xml.Load(std::string("<?xml?>") + f), 1) << f;
        EXPECT_EQ(xml.Load(f), 1) << f;
    }
}

TEST(XmlReaderBounds, AMebibyteOfSmallTagsReadsInOnePass) {
    // Each shape once made a search run to the end of the text per tag.
    for (std::string unit : {"<!x>", "<a/>", "<?p?>", "<!--c-->", "</a>", "<!-- -- >"}) {
        std::string text = "<?xml?><r>";
        while (text.size() < kMaxXmlDocumentBytes - unit.size() - 4) text += unit;
        text += "</r>";
        CXMLParserNorvex xml;
        EXPECT_EQ(xml.Load(text), 1) << unit;
    }
}
