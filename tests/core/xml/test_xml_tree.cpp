// tests/core/xml/test_xml_tree.cpp
#include <gtest/gtest.h>

#include "xml/xml_tree.hpp"

using namespace zorvane::core;

TEST(ParseXml, KeepsPositionsOfElementsAttributesAndText) {
    XmlElement root = parse_xml("<?xml version=\"1.0\"?>\r\n<!-- c -->\n<m a=\"x &amp; y\"\n  b='2'>t<![CDATA[<#{z}]]>\n <é k=\"v\"/>tail</m>");
    EXPECT_EQ(root.tag, "m");
    EXPECT_EQ(root.at.line, 3u);
    ASSERT_NE(root.attribute("b"), nullptr);
    EXPECT_EQ(root.attribute("a")->value, "x & y");
    EXPECT_EQ((root.attribute("b")->at.line), 4u);
    EXPECT_EQ((root.attribute("b")->at.col), 3u);
    EXPECT_EQ(root.text.value, "t<#{z}\n ");
    Position z = locate(root.text, root.text.value.find("#{"));
    EXPECT_EQ(z.line, 4u);
    EXPECT_EQ(z.col, 20u);  // after "b='2'>t<![CDATA[<"
    ASSERT_EQ(root.children.size(), 1u);
    EXPECT_EQ(root.children[0].at.line, 5u);
    EXPECT_EQ(root.children[0].attribute("k")->at.col, 5u);  // columns count code points
    EXPECT_EQ(root.children[0].tail.value, "tail");
    // Text that starts with a reference is located at its '&'.
    Position ref = locate(parse_xml("<m>\n<a/>&#35;{ }</m>").children[0].tail, 0);
    EXPECT_EQ((std::pair{ref.line, ref.col}), (std::pair{2u, 5u}));
}

TEST(ParseXml, RejectsMalformedDocumentsWhereReadingStopped) {
    struct Case { const char *xml; std::uint32_t line, col; };
    for (const Case &c : {Case{"<m>\n<a></b></m>", 2, 4}, Case{"<m>\n  <a x=1/></m>", 2, 8},
                          Case{"<m>&nope;</m>", 1, 4}, Case{"<m a='1' a='2'/>", 1, 10},
                          Case{"<m>\n<a>", 2, 1}, Case{"<m/><n/>", 1, 5}, Case{"", 1, 1},
                          Case{"<?xml version='1.0' encoding='UTF-8'?>\n<m>\xC3\xA9t\xE9</m>", 2, 6},
                          Case{"<m>\n<!--></m>", 2, 1}, Case{"<?>\n<m/>", 1, 1},
                          Case{"<!DOCTYPE m [<!ENTITY x 'y'>] x>\n<m/>", 1, 31}}) {
        try {
            parse_xml(c.xml);
            ADD_FAILURE() << c.xml;
        } catch (const XmlError &e) {
            EXPECT_EQ(e.at.line, c.line) << c.xml << ": " << e.what();
            EXPECT_EQ(e.at.col, c.col) << c.xml << ": " << e.what();
        }
    }
}

TEST(ElementLines, StartTagsInDocumentOrderPastCommentsCdataAndQuotes) {
    auto lines = element_lines("<!DOCTYPE m [<!ENTITY e ']>'>]>\r\n<m a='>'>\r<!-- <x> -->\n <a><![CDATA[<y>]]><b/></a>\n <c/></m>");
    EXPECT_EQ(lines, (std::vector<std::uint32_t>{2, 4, 4, 5}));
}
