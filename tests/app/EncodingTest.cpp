#include <Encoding.h>

#include <gtest/gtest.h>

#include <string>

TEST(Encoding, CP932AtTheWindowEdge)
{
    const struct {
        const char* name;
        std::string cp932;
        QString text;
    } cases[] = {
        {"ASCII", "C:\\data\\", QStringLiteral(u"C:\\data\\")},
        {"kanji", "\x97X\x95\xD6\x94\xD4\x8D\x86", QStringLiteral(u"郵便番号")},
        {"0x5C second byte", "\x83\x5C\x83\x74\x83\x67", QStringLiteral(u"ソフト")},
        {"half-width katakana", "\xBA\xB3\xC1", QStringLiteral(u"ｺｳﾁ")},
        {"full-width hyphen", "kx27\x81|", QStringLiteral(u"kx27－")},
        {"NEC special", "\x87\x40", QStringLiteral(u"①")},
        {"empty", "", QString()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToQString(c.cp932), c.text) << c.name;
        EXPECT_EQ(FromQString(c.text), c.cp932) << c.name;
    }
}

TEST(Encoding, BadBytesAndUnmappedCharactersLoseNothingElse)
{
    EXPECT_EQ(ToQString("ab\x82"), QStringLiteral(u"ab\uFFFD"));               // lead byte cut off
    EXPECT_EQ(ToQString("\xA0x\x82\xF1"), QStringLiteral(u"\uFFFDxん"));        // unassigned byte
    EXPECT_EQ(FromQString(QStringLiteral(u"a\u00E9b")), "a?b");                  // é: not in CP932
    EXPECT_EQ(FromQString(QString::fromUcs4(U"x\U0001F600y")), "x?y");           // beyond 16 bits
    const std::string big(100000, '\xA0');                                       // each one replaced
    const QString text = ToQString(big + "\x82\xF1");
    EXPECT_EQ(text.size(), 100001);
    EXPECT_EQ(text.right(1), QStringLiteral(u"ん"));
}
