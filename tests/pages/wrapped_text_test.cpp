// The pages' wrapped texts break where the toolkit's own Wrap() breaks the same text in the
// same font: the pages used to call Wrap(), and their layout must not move. (The pages measure
// with the window's own font settings, Wrap() with the screen's; on the machines the tests run
// on they give the same widths.)
#include "pages/wrapped_text.h"
#include "tests/pages/page_test_support.h"

#include <wx/frame.h>
#include <wx/stattext.h>

namespace {

class WrappedTextTest : public testing::Test
{
protected:
    void SetUp() override { frame = new wxFrame(nullptr, wxID_ANY, wxT("texts")); }

    void TearDown() override
    {
        frame->Destroy();
        PumpEvents();
    }

    wxString WrappedByTheToolkit(const wxString& text, int width, const wxFont& font)
    {
        auto* reference = new wxStaticText(frame, wxID_ANY, text);
        reference->SetFont(font);
        reference->Wrap(width);
        const wxString lines = reference->GetLabel();
        reference->Destroy();
        return lines;
    }

    wxFrame* frame = nullptr;
};

TEST_F(WrappedTextTest, LinesBreakWhereTheToolkitsWrapBreaksThem)
{
    wxString narrowGlyphs; // a tiny font's lines hold more characters than a quarter of their pixels
    for (int i = 0; i < 40; ++i)
        narrowGlyphs += wxT("il ii, l.i; ");
    const wxString texts[] = {
        wxEmptyString,
        wxT("\n"),
        wxT("word"),
        narrowGlyphs,
        wxT("\nleading line end, then words enough to need a second line at the narrower widths"),
        wxT("two\n\nparagraphs with an empty line between them and a few words more to wrap"),
        wxT("postgresql.conf.20261210115803") + wxString(wxT(' '), 32),
        wxT("averyveryverylongwordthatisalwayswiderthananyoftheseshortlinewidths and then more words"),
        wxT("Configuration parameters for your PostgreSQL installation have been calculated based on your "
            "desired usage and hardware configuration, and merged with your existing configuration file.\n\n"
            "Please click the 'Review' button to examine the new configuration file"),
    };
    const wxFont textFont = wxStaticText::GetClassDefaultAttributes().font;
    const wxFont fonts[] = {textFont, textFont.Bold(), textFont.Bold().Scaled(1.4f), textFont.Scaled(0.5f)};
    TextMeasure measure(frame);
    for (const wxFont& font : fonts) {
        measure.SetFont(font);
        for (const wxString& text : texts)
            for (int width : {40, 275, 300, 400})
                EXPECT_EQ(BreakLines(measure, text, width), WrappedByTheToolkit(text, width, font))
                    << "width " << width << ", " << font.GetPointSize() << " points: " << text.utf8_string();
    }
}

TEST_F(WrappedTextTest, TextsGetTheirFontAndLines)
{
    const wxString text = wxT("Welcome to the Norvane Pelloran, a title long enough to take two lines");
    const wxFont textFont = wxStaticText::GetClassDefaultAttributes().font;
    WrappedTexts texts(frame);
    struct Case
    {
        TextWeight weight;
        wxFont font;
    } cases[] = {
        {TextWeight::Normal, textFont},
        {TextWeight::Bold, textFont.Bold()},
        {TextWeight::Title, textFont.Bold().Scaled(13.0f / textFont.GetPointSize())},
    };
    for (const Case& c : cases) {
        wxStaticText* label = texts.Add(text, 300, c.weight);
        EXPECT_EQ(label->GetName(), wxT("staticText"));
        EXPECT_EQ(label->GetFont().GetPointSize(), c.font.GetPointSize());
        EXPECT_EQ(label->GetFont().GetWeight(), c.font.GetWeight());
        EXPECT_EQ(label->GetLabel(), WrappedByTheToolkit(text, 300, c.font)) << static_cast<int>(c.weight);
        SetWrappedText(label, text + text, 400);
        EXPECT_EQ(label->GetLabel(), WrappedByTheToolkit(text + text, 400, c.font)) << static_cast<int>(c.weight);
    }
}

} // namespace
