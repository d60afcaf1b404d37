#include "cli/cli_options.h"

#include <wx/intl.h>

#include <cstring>
#include <vector>

namespace {

const char* const usageNames[] = {"development", "mixed", "dedicated"};

bool ParseWhole(const wxString& text, long low, long& value)
{
    return !text.empty() && text.ToLong(&value) && value >= low && text[0] != '+' && text[0] != '-';
}

} // namespace

std::optional<std::uint64_t> ParseMemorySize(const wxString& text)
{
    wxString number = text.Upper();
    if (number.EndsWith(wxT("B")))
        number.RemoveLast();
    std::uint64_t unit = 0;
    switch (number.empty() ? wxT(' ') : wxChar(number.Last())) {
    case 'K': unit = std::uint64_t(1) << 10; break;
    case 'M': unit = std::uint64_t(1) << 20; break;
    case 'G': unit = std::uint64_t(1) << 30; break;
    case 'T': unit = std::uint64_t(1) << 40; break;
    default: return std::nullopt;
    }
    number.RemoveLast();
    unsigned long long count = 0;
    if (number.empty() || !wxIsdigit(number[0]) || !number.ToULongLong(&count) || count == 0 ||
        count > (~std::uint64_t(0)) / unit)
        return std::nullopt;
    return count * unit;
}

bool ParseCliOptions(int argc, const char* const* argv, CliOptions& options, wxString& error)
{
    std::vector<wxString> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(wxString::FromUTF8(argv[i]));
    std::size_t at = 0;
    // The value of the option just read; false (with the error) when none follows.
    auto value = [&](const wxString& option, wxString& out) {
        if (at + 1 >= args.size() || args[at + 1].empty()) {
            error = wxString::Format(_("%s needs a value."), option);
            return false;
        }
        out = args[++at];
        return true;
    };
    int selections = 0;
    for (; at < args.size(); ++at) {
        const wxString option = args[at];
        wxString text;
        long number = 0;
        if (option == wxT("--help") || option == wxT("-h"))
            options.help = true;
        else if (option == wxT("--version"))
            options.version = true;
        else if (option == wxT("--list"))
            options.list = true;
        else if (option == wxT("--restore")) {
            options.restore = true;
            if (at + 1 < args.size() && !args[at + 1].StartsWith(wxT("-")))
                options.restoreStamp = args[++at];
        } else if (option == wxT("--cluster")) {
            if (!value(option, options.cluster))
                return false;
            ++selections;
        } else if (option == wxT("--installation")) {
            if (!value(option, text))
                return false;
            if (!ParseWhole(text, 1, number) || number > 9999) {
                error = _("--installation needs the number of an installation in the list.");
                return false;
            }
            options.installation = static_cast<int>(number);
            ++selections;
        } else if (option == wxT("--conf-path")) {
            if (!value(option, options.confPath))
                return false;
            ++selections;
        } else if (option == wxT("--pg-version")) {
            if (!value(option, options.pgVersion))
                return false;
        } else if (option == wxT("--usage")) {
            if (!value(option, text))
                return false;
            for (int i = 0; i < 3; ++i)
                if (text == usageNames[i])
                    options.usage = i;
            if (options.usage < 0) {
                error = _("--usage takes development, mixed or dedicated.");
                return false;
            }
        } else if (option == wxT("--memory")) {
            if (!value(option, text))
                return false;
            options.memoryBytes = ParseMemorySize(text);
            if (!options.memoryBytes) {
                error = _("--memory takes a size such as 16GB or 512MB.");
                return false;
            }
        } else if (option == wxT("--cpus")) {
            if (!value(option, text))
                return false;
            if (!ParseWhole(text, 1, number) || number > 262143) {
                error = _("--cpus takes a number of processors.");
                return false;
            }
            options.cpus = number;
        } else if (option == wxT("--storage")) {
            if (!value(option, text))
                return false;
            if (text == wxT("ssd"))
                options.storage = Storage::ssd;
            else if (text == wxT("hdd"))
                options.storage = Storage::hdd;
            else if (text == wxT("auto"))
                options.storage.reset();
            else {
                error = _("--storage takes auto, ssd or hdd.");
                return false;
            }
        } else if (option == wxT("--dry-run"))
            options.dryRun = true;
        else if (option == wxT("--exit-code"))
            options.exitCode = true;
        else if (option == wxT("--yes") || option == wxT("-y"))
            options.yes = true;
        else if (option == wxT("--out-path")) {
            if (!value(option, options.outPath))
                return false;
        } else if (option == wxT("--json"))
            options.json = true;
        else if (option == wxT("--quiet") || option == wxT("-q"))
            options.quiet = true;
        else if (option == wxT("--color")) {
            if (!value(option, text))
                return false;
            if (text == wxT("auto"))
                options.color = ColorChoice::automatic;
            else if (text == wxT("always"))
                options.color = ColorChoice::always;
            else if (text == wxT("never"))
                options.color = ColorChoice::never;
            else {
                error = _("--color takes auto, always or never.");
                return false;
            }
        } else if (option == wxT("--proxy")) {
            if (!value(option, text))
                return false;
            const int colon = text.Find(wxT(':'), true);
            if (colon <= 0 || !ParseWhole(text.Mid(colon + 1), 1, number) || number > 65535) {
                error = _("--proxy takes HOST:PORT.");
                return false;
            }
            options.proxyHost = text.Left(colon);
            options.proxyPort = text.Mid(colon + 1);
        } else {
            error = wxString::Format(_("Unknown option: %s"), option);
            return false;
        }
    }

    if (selections > 1)
        error = _("Name the installation once: --cluster, --installation or --conf-path.");
    else if (!options.pgVersion.empty() && options.confPath.empty())
        error = _("--pg-version goes with --conf-path.");
    else if (options.exitCode && !options.dryRun)
        error = _("--exit-code goes with --dry-run.");
    else if (options.dryRun && (options.yes || !options.outPath.empty()))
        error = _("--dry-run writes nothing: it does not go with --yes or --out-path.");
    else if (options.list && (options.restore || selections > 0))
        error = _("--list takes no installation.");
    else if (options.restore && (options.dryRun || !options.outPath.empty() || options.usage >= 0))
        error = _("--restore takes an installation and --yes only.");
    return error.empty();
}

wxString CliHelpText()
{
    return _("Usage:\n"
             "  pelloran-cli --list [--json]\n"
             "  pelloran-cli [--cluster 15/main | --installation N | --conf-path FILE --pg-version V]\n"
             "               [--usage development|mixed|dedicated]\n"
             "               [--memory SIZE] [--cpus N] [--storage auto|ssd|hdd]\n"
             "               [--dry-run [--exit-code]] [--yes] [--out-path FILE] [--json]\n"
             "               [--color auto|always|never] [--quiet] [--proxy HOST:PORT]\n"
             "  pelloran-cli --restore [STAMP] (--cluster ... | --installation N | --conf-path FILE) [--yes]\n"
             "  pelloran-cli --help | --version\n"
             "\n"
             "Tunes postgresql.conf with the values of the tuning service: shows the change as a\n"
             "unified diff, keeps a backup beside the file and replaces the file in one step.\n"
             "\n"
             "  --list             the installations found on this machine, numbered\n"
             "  --cluster V/NAME   the packaged cluster, e.g. 15/main\n"
             "  --installation N   the installation numbered N by --list\n"
             "  --conf-path FILE   a postgresql.conf of your choice, of server version V\n"
             "  --usage U          how the machine is used; asked on a terminal when not given\n"
             "  --memory SIZE      the memory to tune for (16GB), instead of this machine's\n"
             "  --cpus N           the processors to tune for, instead of the detected ones\n"
             "  --storage S        the data directory's storage: ssd, hdd, or auto (detected)\n"
             "  --dry-run          show the change and write nothing\n"
             "  --exit-code        with --dry-run: exit 1 when there are changes\n"
             "  --yes              write without asking\n"
             "  --out-path FILE    write the result to FILE and leave postgresql.conf alone\n"
             "  --json             the installations, or the values and their reasons, as JSON\n"
             "  --color WHEN       colour the diff (auto: on a terminal, unless NO_COLOR is set)\n"
             "  --quiet            no progress on standard error\n"
             "  --proxy HOST:PORT  reach the service through this HTTP proxy\n"
             "  --restore [STAMP]  put the backup postgresql.conf.STAMP back (newest when asked)\n"
             "\n"
             "Exit codes:\n"
             "   0  written, or a dry run shown (with --exit-code: nothing to change)\n"
             "   1  --dry-run --exit-code found changes, or the answer was no\n"
             "  64  bad command line, or a choice is needed and there is no terminal\n"
             "  66  no installation, or the named one or file does not exist\n"
             "  69  the tuning service could not be reached or refused\n"
             "  73  the backup or the save failed; nothing changed\n"
             "  77  no right to read or replace the file\n"
             "  78  the server's own check refused the result\n");
}
