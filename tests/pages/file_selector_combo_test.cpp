// The file selector: what it stores from the browse dialog, and what typing does not change.
#include "pages/file_selector_combo.h"
#include "tests/pages/page_test_support.h"
#include "tests/support/temp_dir.h"

#include <wx/frame.h>
#include <wx/textctrl.h>

namespace {

class FileSelectorComboTest : public testing::Test
{
protected:
    void SetUp() override
    {
        TakeErrors();
        frame = new wxFrame(nullptr, wxID_ANY, wxT("selector"));
        selector = new FileSelectorCombo(frame, wxID_ANY, wxEmptyString, wxPoint(0, 0), wxSize(300, 25), 0);
        frame->Show();
        PumpEvents();
        WriteFileBytes(temp.file("postgresql.conf"), "port = 5432\n");
        WriteFileBytes(temp.file("other.conf"), "\n");
    }

    void TearDown() override
    {
        frame->Destroy();
        PumpEvents();
        EXPECT_TRUE(TakeErrors().empty());
    }

    void ExpectStored(const std::string& name, const std::string& directory)
    {
        EXPECT_EQ(selector->GetFileName().utf8_string(), name);
        EXPECT_EQ(selector->GetDirectory().utf8_string(), directory);
        EXPECT_EQ(selector->GetPath().utf8_string(), directory + "/" + name);
    }

    TempDir temp;
    wxFrame* frame = nullptr;
    FileSelectorCombo* selector = nullptr;
};

TEST_F(FileSelectorComboTest, TypingAloneStoresNothing)
{
    selector->SetValue(wxString::FromUTF8(temp.file("postgresql.conf")));
    EXPECT_TRUE(selector->GetFileName().empty());
    EXPECT_TRUE(selector->GetDirectory().empty());
    EXPECT_TRUE(selector->GetPath().empty());
}

TEST_F(FileSelectorComboTest, BrowsingStartsAtTheTypedTextAndConfirmingReplacesIt)
{
    selector->SetValue(wxT("typed.conf"));
    FileDialogAnswer answer(temp.file("postgresql.conf"));
    selector->OnButtonClick();
    ASSERT_EQ(answer.seen.size(), 1u);
    EXPECT_EQ(answer.seen[0].message, "Choose File");
    EXPECT_EQ(answer.seen[0].wildcard, "Conf files (*.conf)|*.conf") << "one filter, none for all files";
    EXPECT_EQ(answer.seen[0].defaultFile, "typed.conf");
    EXPECT_TRUE(answer.seen[0].style & wxFD_OPEN);
    EXPECT_EQ(selector->GetValue().utf8_string(), temp.file("postgresql.conf"));
    ExpectStored("postgresql.conf", temp.path());
}

TEST_F(FileSelectorComboTest, LaterEditsAndCancelledBrowsesKeepTheConfirmedChoice)
{
    {
        FileDialogAnswer answer(temp.file("postgresql.conf"));
        selector->OnButtonClick();
    }
    selector->SetValue(wxT("/somewhere/else.conf"));
    ExpectStored("postgresql.conf", temp.path());
    {
        FileDialogAnswer cancel("");
        selector->OnButtonClick();
        EXPECT_EQ(cancel.seen.size(), 1u);
    }
    EXPECT_EQ(selector->GetValue(), wxT("/somewhere/else.conf"));
    ExpectStored("postgresql.conf", temp.path());
    {
        FileDialogAnswer answer(temp.file("other.conf"));
        selector->OnButtonClick();
    }
    ExpectStored("other.conf", temp.path());
}

TEST_F(FileSelectorComboTest, TheButtonShowsDotsOnATransparentGround)
{
    const wxBitmap bitmap = selector->GetBitmapNormal();
    ASSERT_TRUE(bitmap.IsOk());
    EXPECT_EQ(bitmap.GetSize(), wxSize(12, 16));
    ASSERT_NE(bitmap.GetMask(), nullptr);
    const wxImage image = bitmap.ConvertToImage();
    ASSERT_TRUE(image.HasMask() || image.HasAlpha());
    int opaque = 0;
    for (int y = 0; y < image.GetHeight(); ++y)
        for (int x = 0; x < image.GetWidth(); ++x) {
            const bool transparent = image.HasAlpha() ? image.GetAlpha(x, y) == 0 : image.IsTransparent(x, y);
            opaque += transparent ? 0 : 1;
        }
    EXPECT_GT(opaque, 0) << "the dots are drawn";
    EXPECT_LT(opaque, 12 * 16 / 2) << "the ground is see-through";
    EXPECT_TRUE(image.IsTransparent(0, 0) || (image.HasAlpha() && image.GetAlpha(0, 0) == 0));
}

TEST_F(FileSelectorComboTest, KeysThatOpenADropDownElsewhereDoNotBreakTheControl)
{
    // The control has no popup: the drop-down keys must neither crash nor assert.
    FileDialogAnswer cancel("");
    struct Key
    {
        int code;
        bool alt;
    };
    for (const Key key : {Key{WXK_DOWN, true}, Key{WXK_F4, false}, Key{WXK_DOWN, false}, Key{WXK_UP, false},
                          Key{WXK_PAGEDOWN, false}}) {
        for (wxWindow* target : {static_cast<wxWindow*>(selector->GetTextCtrl()), static_cast<wxWindow*>(selector)}) {
            wxKeyEvent down(wxEVT_KEY_DOWN);
            down.m_keyCode = key.code;
            down.m_altDown = key.alt;
            down.SetEventObject(target);
            target->GetEventHandler()->ProcessEvent(down);
            PumpEvents();
        }
    }
    EXPECT_FALSE(selector->IsPopupShown());
    EXPECT_TRUE(selector->GetFileName().empty());
}

} // namespace
