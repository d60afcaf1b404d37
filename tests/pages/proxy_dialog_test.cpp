// The proxy dialog, run modally for real: what OK refuses, where the focus goes, what is saved.
#include "pages/proxy_dialog.h"
#include "pages/proxy_settings.h"
#include "tests/pages/page_test_support.h"
#include "tests/support/temp_dir.h"

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <functional>

namespace {

class ProxyDialogTest : public testing::Test
{
protected:
    void SetUp() override { TakeErrors(); }

    // Opens a dialog, runs `steps` inside its modal loop (they must end it, or it is
    // cancelled afterwards), and returns the modal result.
    int Run(const std::function<void(ProxyDialog&)>& steps)
    {
        ProxyDialog dialog(nullptr, wxT("Proxy server configuration"));
        bool ran = false;
        dialog.CallAfter([&]() {
            PumpEvents();
            steps(dialog);
            ran = true;
            if (dialog.IsModal())
                Click(dialog.FindWindow(wxID_CANCEL));
        });
        const int result = dialog.ShowModal();
        EXPECT_TRUE(ran);
        return result;
    }

    static std::pair<std::string, std::string> Stored()
    {
        wxString host, port;
        ReadProxySettings(host, port);
        return {host.utf8_string(), port.utf8_string()};
    }

    static void Type(ProxyDialog& dialog, const char* host, const char* port)
    {
        dialog.hostField->SetValue(wxString::FromUTF8(host));
        dialog.portField->SetValue(wxString::FromUTF8(port));
    }

    TempDir temp;
    ScopedEnv configHome{"XDG_CONFIG_HOME", temp.file("fresh-account/.config")};
};

TEST_F(ProxyDialogTest, OpensWithTheStoredValuesAndTheirLabels)
{
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    Run([](ProxyDialog& dialog) {
        EXPECT_EQ(dialog.GetTitle(), wxT("Proxy server configuration"));
        EXPECT_EQ(dialog.hostField->GetValue(), wxT("proxy1"));
        EXPECT_EQ(dialog.portField->GetValue(), wxT("8080"));
        EXPECT_EQ(dialog.hostField->GetSize().x, 200);
        EXPECT_GE(dialog.portField->GetSize().x, 40);
        // A five-digit port is shown whole.
        const int textWidth = dialog.portField->GetTextExtent(wxT("65535")).x;
        EXPECT_GE(dialog.portField->GetSize().x, dialog.portField->GetSizeFromTextSize(textWidth).x);
        // Label, host, label, port, left to right on one row.
        const wxWindowList& children = dialog.GetChildren();
        std::vector<std::string> labels;
        for (wxWindow* child : children)
            if (auto* text = dynamic_cast<wxStaticText*>(child))
                labels.push_back(text->GetLabel().utf8_string());
        EXPECT_EQ(labels, (std::vector<std::string>{"HTTP proxy", "Port"}));
        EXPECT_LT(dialog.hostField->GetPosition().x, dialog.portField->GetPosition().x);
        EXPECT_EQ(dialog.hostField->GetPosition().y, dialog.portField->GetPosition().y);
        EXPECT_NE(dialog.FindWindow(wxID_OK), nullptr);
        SaveScreenshot(&dialog, "proxy_dialog");
    });
}

TEST_F(ProxyDialogTest, RefusedInputKeepsTheDialogOpenWithTheFocusOnTheFieldToMend)
{
    struct Case
    {
        const char* description;
        const char* host;
        const char* port;
        const char* message;
        bool focusOnPort;
    };
    const Case cases[] = {
        {"port with a letter", "proxy1", "80a", "Invalid HTTP port specified.", true},
        {"bad port and no host: the port is judged first", "", "80a", "Invalid HTTP port specified.", true},
        {"host without port", "proxy1", "", "Both the proxy server and port must be specified.", false},
        {"port without host", "", "8080", "Both the proxy server and port must be specified.", false},
    };
    ASSERT_TRUE(WriteProxySettings(wxT("before"), wxT("1")));
    const std::string storeBefore = ReadFileBytes(temp.file("fresh-account/.config/Pelloran.conf"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const int result = Run([&](ProxyDialog& dialog) {
            Type(dialog, c.host, c.port);
            // Focus elsewhere first, so a moved focus is the handler's doing.
            (c.focusOnPort ? dialog.hostField : dialog.portField)->SetFocus();
            PumpEvents();
            Click(dialog.FindWindow(wxID_OK));
            EXPECT_TRUE(dialog.IsModal()) << "the dialog must stay open";
            EXPECT_EQ(TakeErrors(), std::vector<std::string>{c.message});
            EXPECT_TRUE(HasFocusWithinItsWindow(c.focusOnPort ? dialog.portField : dialog.hostField));
            EXPECT_FALSE(HasFocusWithinItsWindow(c.focusOnPort ? dialog.hostField : dialog.portField));
        });
        EXPECT_EQ(result, wxCANCEL);
        EXPECT_EQ(ReadFileBytes(temp.file("fresh-account/.config/Pelloran.conf")), storeBefore);
    }
}

TEST_F(ProxyDialogTest, AcceptedInputIsSavedExactlyAsTypedAndEndsWithOk)
{
    struct Case
    {
        const char* description;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"first run, both empty: saved into a folder that did not exist", "", ""},
        {"host and port", "proxy1", "8080"},
        {"plus sign", "proxy1", "+8080"},
        {"minus sign", "proxy1", "-1"},
        {"a lone sign", "proxy1", "+"},
        {"no trimming", " proxy1 ", "3128"},
        {"both cleared again", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const int result = Run([&](ProxyDialog& dialog) {
            Type(dialog, c.host, c.port);
            Click(dialog.FindWindow(wxID_OK));
            EXPECT_FALSE(dialog.IsModal());
        });
        EXPECT_EQ(result, wxOK);
        EXPECT_EQ(Stored(), std::make_pair(std::string(c.host), std::string(c.port)));
        EXPECT_TRUE(FileExists(temp.file("fresh-account/.config/Pelloran.conf")));
        EXPECT_TRUE(TakeErrors().empty());
    }
    // Reopening shows what was saved last.
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    Run([](ProxyDialog& dialog) {
        EXPECT_EQ(dialog.hostField->GetValue(), wxT("proxy1"));
        EXPECT_EQ(dialog.portField->GetValue(), wxT("8080"));
    });
}

TEST_F(ProxyDialogTest, CancelAfterEditingKeepsTheStoredValues)
{
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    const int result = Run([](ProxyDialog& dialog) {
        Type(dialog, "changed", "9999");
        Click(dialog.FindWindow(wxID_CANCEL));
    });
    EXPECT_EQ(result, wxCANCEL);
    EXPECT_EQ(Stored(), std::make_pair(std::string("proxy1"), std::string("8080")));
}

TEST_F(ProxyDialogTest, FirstRunOpensEmptyWithoutCreatingAnything)
{
    Run([](ProxyDialog& dialog) {
        EXPECT_TRUE(dialog.hostField->GetValue().empty());
        EXPECT_TRUE(dialog.portField->GetValue().empty());
    });
    EXPECT_FALSE(FileExists(temp.file("fresh-account")));
}

} // namespace
