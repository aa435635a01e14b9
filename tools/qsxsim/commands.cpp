// The console's built-in commands of `qsxsim run`: adapters, ports and their wiring, line
// events, framing for the PTYs, the debug console, the registry, and leaving.
#include <standin/kernel.h>
#include <standin/registry.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session.h"

namespace qsxsim {

namespace {

using Args = Console::Args;

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Join(const Args &args, size_t from) {
    std::string s;
    for (size_t i = from; i < args.size(); i++) s += (i > from ? " " : "") + args[i];
    return s;
}

void Arity(const Args &args, size_t least, size_t most) {
    if (args.size() < least) throw CommandError("too few arguments", true);
    if (args.size() > most) throw CommandError("too many arguments", true);
}

std::string Hex4(unsigned value) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%04X", value);
    return t;
}

const char *InterfaceName(BYTE mode) {
    static const char *const names[] = {"RS-232", "RS-485-2W", "RS-422", "RS-485-4W"};
    return mode < 4 ? names[mode] : "?";
}

std::string LineText(const LineSettings &line) {
    std::string s = std::to_string(line.baud) + " " + std::to_string(line.dataBits);
    s += line.parity <= 4 ? "NOEMS"[line.parity] : '?';
    s += line.stopBits == 0 ? "1" : line.stopBits == 1 ? "1.5" : "2";
    return s;
}

// Prints rows as columns padded to their widest cell.
void PrintTable(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width;
    for (const auto &row : rows)
        for (size_t i = 0; i < row.size(); i++) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); i++) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

// C-style escapes for bytes typed on the console: \r \n \t \0 \\ \xHH.
std::vector<BYTE> Unescape(const std::string &text) {
    std::vector<BYTE> out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            out.push_back(static_cast<BYTE>(text[i]));
            continue;
        }
        if (++i >= text.size()) throw CommandError("the text ends in a lone backslash");
        switch (text[i]) {
        case 'r': out.push_back('\r'); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case '0': out.push_back(0); break;
        case '\\': out.push_back('\\'); break;
        case 'x': {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                throw CommandError("\\x takes two hex digits");
            out.push_back(static_cast<BYTE>(std::stoul(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
            break;
        }
        default: throw CommandError(std::string("unknown escape \\") + text[i] + " (use \\r \\n \\t \\0 \\\\ \\xHH)");
        }
    }
    return out;
}

// A registry key as typed: "HKLM\Drivers\X", "HKEY_LOCAL_MACHINE\Drivers\X", or a path
// under HKLM.
struct KeyRef {
    HKEY root = HKEY_LOCAL_MACHINE;
    std::string rootName = "HKEY_LOCAL_MACHINE";
    std::string subkey;
    std::string Full() const { return subkey.empty() ? rootName : rootName + "\\" + subkey; }
};

KeyRef ParseKey(const std::string &text) {
    static const struct {
        const char *shortName, *longName;
        HKEY root;
    } roots[] = {{"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                 {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                 {"HKU", "HKEY_USERS", HKEY_USERS}};
    KeyRef k;
    std::string first = text.substr(0, text.find('\\'));
    std::string rest = first.size() < text.size() ? text.substr(first.size() + 1) : "";
    k.subkey = text;
    for (const auto &r : roots) {
        if (strcasecmp(first.c_str(), r.shortName) == 0 || strcasecmp(first.c_str(), r.longName) == 0) {
            k.root = r.root;
            k.rootName = r.longName;
            k.subkey = rest;
        }
    }
    while (!k.subkey.empty() && k.subkey.back() == '\\') k.subkey.pop_back();
    return k;
}

bool KeyExists(const KeyRef &k) {
    if (k.subkey.empty()) return true;
    HKEY h;
    if (RegOpenKeyExW(k.root, standin::FromUtf8(k.subkey).c_str(), 0, 0, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

std::string Quoted(const std::string &text) {
    std::string s = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') s += '\\';
        s += c;
    }
    return s + "\"";
}

void LoadRegLines(const std::string &lines) {
    std::string error;
    if (!standin::LoadRegText("REGEDIT4\n" + lines, &error)) {
        // The line number is of the text made here, not of anything the user has.
        if (error.rfind("line ", 0) == 0 && error.find(": ") != std::string::npos)
            error = error.substr(error.find(": ") + 2);
        throw CommandError(error);
    }
}

}  // namespace

void RegisterCommands(Console &console, Simulator &sim, RegistryKeeper *keeper) {
    std::string models;
    for (const ModelName &m : ModelNames()) models += std::string(models.empty() ? "" : " ") + m.name;

    console.Add({"plug", "plug MODEL[:hs|:fs]", "plug an adapter; its ports get COM names and PTYs",
                 "  MODEL is a product id in hex (7045, 0x7193) or a name: " + models +
                     ".\n  :hs plugs it at high speed (the default), :fs at full speed.\n"
                     "  Its ports start unwired; see 'wire'.",
                 [&sim](const Args &args) {
                     Arity(args, 1, 1);
                     std::string error;
                     auto choice = ParseAdapterChoice(args[0], &error);
                     if (!choice) throw CommandError(error, true);
                     sim.Plug(*choice);
                 }});

    console.Add({"unplug", "unplug [ADAPTER|all]", "unplug an adapter (the only one when none is named)",
                 "  ADAPTER is the number 'adapters' shows. Programs holding one of its PTYs get\n"
                 "  end of file or an error, and the PTY links go.",
                 [&sim](const Args &args) {
                     Arity(args, 0, 1);
                     if (args.empty()) {
                         if (sim.Slots().size() != 1)
                             throw CommandError(sim.Slots().empty() ? "no adapter is plugged"
                                                                    : "more than one adapter is plugged: name one",
                                                true);
                         sim.Unplug(sim.Slots().front()->number);
                     } else if (Lower(args[0]) == "all") {
                         sim.UnplugAll();
                     } else {
                         char *end = nullptr;
                         long n = std::strtol(args[0].c_str(), &end, 10);
                         if (*end != '\0' || args[0].empty()) throw CommandError("'" + args[0] + "' is not an adapter number", true);
                         sim.Unplug(static_cast<int>(n));
                     }
                 }});

    console.Add({"adapters", "adapters", "list the plugged adapters", "",
                 [&sim](const Args &args) {
                     Arity(args, 0, 0);
                     if (sim.Slots().empty()) {
                         std::printf("no adapter is plugged\n");
                         return;
                     }
                     std::vector<std::vector<std::string>> rows = {{"#", "MODEL", "PRODUCT", "SPEED", "PORTS", "COM"}};
                     for (auto &s : sim.Slots()) {
                         std::string names;
                         for (auto &p : s->ports) {
                             if (!names.empty()) names += ' ';
                             names += p.device.empty() ? "-" : p.device;
                         }
                         rows.push_back({std::to_string(s->number), ModelLabel(s->choice.productId),
                                         Hex4(s->choice.productId), s->choice.highSpeed ? "high" : "full",
                                         std::to_string(s->ports.size()), names});
                     }
                     PrintTable(rows);
                 }});

    console.Add({"ports", "ports", "list every port: model, interface, FIFO, wiring, line, open state, PTY",
                 "  INTERFACE, FIFO and LINE are what the adapter was last told for the port (LINE:\n"
                 "  baud, data bits, parity, stop bits). FLOW is the port's flow control while a\n"
                 "  Linux program has it open. OPEN: closed, open (a Linux program holds the PTY\n"
                 "  and the port is open for it), busy (the PTY is held but a program on the device\n"
                 "  has the port), gone.",
                 [&sim](const Args &args) {
                     Arity(args, 0, 0);
                     std::vector<std::vector<std::string>> rows = {
                         {"PORT", "AT", "MODEL", "INTERFACE", "FIFO", "WIRING", "LINE", "FLOW", "OPEN", "PTY"}};
                     for (auto &s : sim.Slots()) {
                         for (auto &p : s->ports) {
                             PortState st = s->plugged.adapter->Port(p.index);
                             std::string open = "-", flow = "-", link = "-";
                             if (p.bridge) {
                                 PortBridge::Status b = p.bridge->GetStatus();
                                 static const char *const states[] = {"closed", "open", "busy", "gone"};
                                 open = states[static_cast<int>(b.state)];
                                 link = b.linkPath;
                                 if (b.dcb) {
                                     flow.clear();
                                     if (b.dcb->fOutX || b.dcb->fInX) flow = "xon/xoff";
                                     if (b.dcb->fOutxCtsFlow) flow += std::string(flow.empty() ? "" : "+") + "rts/cts";
                                     if (flow.empty()) flow = "none";
                                 }
                             }
                             rows.push_back({p.device.empty() ? "-" : p.device,
                                             std::to_string(s->number) + ":" + std::to_string(p.index),
                                             ModelLabel(s->choice.productId), InterfaceName(st.interfaceMode),
                                             st.fifoOn ? "on" : "off", sim.WiringText(*s, p.index), LineText(st.line),
                                             flow, open, link});
                         }
                     }
                     if (rows.size() == 1) {
                         std::printf("no adapter is plugged\n");
                         return;
                     }
                     PrintTable(rows);
                 }});

    console.Add({"wire", "wire PORT loopback|external|none  |  wire PORT null-modem PORT2",
                 "connect a port's line: to itself, to another port, or to the console",
                 "  loopback: the port receives what it sends (RTS drives its CTS, DTR its DSR and DCD).\n"
                 "  null-modem: two ports of one adapter, crossed (data both ways, RTS->CTS, DTR->DSR+DCD).\n"
                 "  external: the console is the far end: what the port sends is shown, 'send' and\n"
                 "  'modem' drive its input. none: nothing is connected.",
                 [&sim](const Args &args) {
                     Arity(args, 2, 3);
                     auto [slot, port] = sim.FindPort(args[0]);
                     const std::string kind = Lower(args[1]);
                     if (kind == "null-modem" || kind == "nullmodem") {
                         if (args.size() != 3) throw CommandError("null-modem needs the other port", true);
                         auto [other, peer] = sim.FindPort(args[2]);
                         if (other != slot)
                             throw CommandError("a null-modem pair joins two ports of one adapter");
                         if (peer == port) throw CommandError("a port cannot be its own null-modem peer; use loopback");
                         sim.Wire(*slot, port, Wiring::kNullModem, peer);
                     } else {
                         if (args.size() != 2) throw CommandError("too many arguments", true);
                         if (kind == "loopback") sim.Wire(*slot, port, Wiring::kLoopback);
                         else if (kind == "external") sim.Wire(*slot, port, Wiring::kExternal);
                         else if (kind == "none") sim.Wire(*slot, port, Wiring::kNone);
                         else throw CommandError("unknown wiring '" + args[1] + "'", true);
                     }
                     std::printf("%s: %s\n", args[0].c_str(), sim.WiringText(*slot, port).c_str());
                 }});

    console.Add({"send", "send PORT TEXT", "feed bytes into an external port's input, as from its line",
                 "  TEXT may use \\r \\n \\t \\0 \\\\ and \\xHH; quote it to keep blanks (\"a  b\").",
                 [&sim](const Args &args) {
                     if (args.size() < 2) throw CommandError("too few arguments", true);
                     auto [slot, port] = sim.FindPort(args[0]);
                     if (slot->plugged.adapter->WiringOf(port) != Wiring::kExternal)
                         throw CommandError(args[0] + " is not wired external (see 'wire')");
                     std::vector<BYTE> bytes = Unescape(Join(args, 1));
                     if (!slot->plugged.adapter->FeedExternal(port, bytes))
                         throw CommandError("the adapter did not take the bytes");
                     std::printf("%s: %zu bytes in\n", args[0].c_str(), bytes.size());
                 }});

    console.Add({"modem", "modem PORT none|[cts] [dsr] [dcd]", "set the modem lines an external port's far end drives",
                 "", [&sim](const Args &args) {
                     Arity(args, 2, 4);
                     auto [slot, port] = sim.FindPort(args[0]);
                     if (slot->plugged.adapter->WiringOf(port) != Wiring::kExternal)
                         throw CommandError(args[0] + " is not wired external (see 'wire')");
                     BYTE msr = 0;
                     for (size_t i = 1; i < args.size(); i++) {
                         std::string line = Lower(args[i]);
                         if (line == "cts") msr |= kMsrCts;
                         else if (line == "dsr") msr |= kMsrDsr;
                         else if (line == "dcd") msr |= kMsrDcd;
                         else if (line != "none" || args.size() != 2)
                             throw CommandError("unknown modem line '" + args[i] + "'", true);
                     }
                     slot->plugged.adapter->SetExternalModem(port, msr);
                     std::printf("%s: modem lines set\n", args[0].c_str());
                 }});

    console.Add({"inject", "inject PORT overrun|parity|framing|break ...",
                 "make the adapter report line errors or a break on a port",
                 "  Several kinds may go in one report. A program with the port open sees them\n"
                 "  through ClearCommError; with the port open through its PTY they show here.",
                 [&sim](const Args &args) {
                     if (args.size() < 2) throw CommandError("too few arguments", true);
                     auto [slot, port] = sim.FindPort(args[0]);
                     BYTE lsr = 0;
                     bool breakBit = false;
                     for (size_t i = 1; i < args.size(); i++) {
                         std::string kind = Lower(args[i]);
                         if (kind == "overrun") lsr |= 0x02;
                         else if (kind == "parity") lsr |= 0x04;
                         else if (kind == "framing" || kind == "frame") lsr |= 0x08;
                         else if (kind == "break") {
                             lsr |= 0x10;
                             breakBit = true;
                         } else {
                             throw CommandError("unknown kind '" + args[i] + "'", true);
                         }
                     }
                     if (!slot->plugged.adapter->InjectLineStatus(port, lsr, breakBit))
                         throw CommandError("the adapter is not running its firmware");
                     std::printf("%s: reported %s\n", args[0].c_str(), Join(args, 1).c_str());
                 }});

    console.Add({"framing", "framing PORT [DATA-PARITY[STOP]|pty]",
                 "set the data bits and parity a port gets from its PTY (e.g. 7E, 8N1, 7E2)",
                 "  Linux PTYs carry a program's baud rate, stop bits and flow control, but always\n"
                 "  report 8 data bits without parity. A program run with LD_PRELOAD=libqsxtty.so\n"
                 "  (its path is printed at the start) sets them itself; for any other program\n"
                 "  (a statically linked one, say) they are chosen here for each port (until it is\n"
                 "  unplugged). The latest choice wins: this command over a program's setting, a\n"
                 "  program's next setting over this; once no program holds the PTY, this one is\n"
                 "  back. Stop bits given here win over the PTY's. 'pty' goes back to 8 bits, no\n"
                 "  parity and the PTY's stop bits. Without a setting: shows what is in force.",
                 [&sim](const Args &args) {
                     Arity(args, 1, 2);
                     auto [slot, port] = sim.FindPort(args[0]);
                     auto &bridge = slot->ports[static_cast<size_t>(port)].bridge;
                     if (!bridge) throw CommandError(args[0] + " has no PTY");
                     if (args.size() == 2) {
                         std::optional<Framing> f = Lower(args[1]) == "pty" ? Framing{} : ParseFraming(args[1]);
                         if (!f) throw CommandError("'" + args[1] + "' is not a framing (7E, 8N1, 7E2, 5O1.5, ...)", true);
                         bridge->SetFraming(*f);
                     }
                     const PortBridge::Status status = bridge->GetStatus();
                     const Framing &f = status.framing;
                     std::printf("%s: %s%s%s\n", args[0].c_str(), FramingText(f).c_str(),
                                 f.stopBits ? "" : " (stop bits from the PTY)",
                                 status.framingFromProgram ? ", set by the program on the PTY" : "");
                 }});

    console.Add({"console", "console [N|all]  |  console follow on|off  |  console clear",
                 "show the device's debug console (the last 20 lines), or follow it live", "",
                 [&sim](const Args &args) {
                     Arity(args, 0, 2);
                     const std::string what = args.empty() ? "20" : Lower(args[0]);
                     if (what == "follow") {
                         if (args.size() != 2 || (Lower(args[1]) != "on" && Lower(args[1]) != "off"))
                             throw CommandError("follow takes on or off", true);
                         sim.SetFollow(Lower(args[1]) == "on");
                         std::printf("following the debug console: %s\n", sim.Following() ? "on" : "off");
                         return;
                     }
                     if (args.size() > 1) throw CommandError("too many arguments", true);
                     if (what == "clear") {
                         standin::ClearConsole();
                         return;
                     }
                     size_t count = SIZE_MAX;
                     if (what != "all") {
                         char *end = nullptr;
                         long n = std::strtol(what.c_str(), &end, 10);
                         if (*end != '\0' || n <= 0) throw CommandError("'" + args[0] + "' is not a line count", true);
                         count = static_cast<size_t>(n);
                     }
                     std::vector<std::string> lines = standin::ConsoleMessages();
                     size_t from = lines.size() > count ? lines.size() - count : 0;
                     for (size_t i = from; i < lines.size(); i++) {
                         std::string l = lines[i];
                         while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
                         std::printf("console| %s\n", l.c_str());
                     }
                     if (lines.empty()) std::printf("(the debug console is empty)\n");
                 }});

    console.Add({"registry", "registry [dump [KEY]]  |  registry set KEY NAME VALUE  |  registry delete KEY [NAME]"
                             "  |  registry save [FILE]",
                 "show, change or save the device's registry",
                 "  KEY: HKLM\\Drivers\\USB (or HKEY_LOCAL_MACHINE\\..., HKCU, HKCR, HKU); a path\n"
                 "  alone is under HKLM. VALUE: dword:N (hex), hex:01,02,... or text (quote blanks).\n"
                 "  NAME @ is the key's default value. save writes the state folder's registry\n"
                 "  (which is also saved after every command), or FILE.",
                 [keeper](const Args &args) {
                     const std::string verb = args.empty() ? "dump" : Lower(args[0]);
                     if (verb == "dump") {
                         Arity(args, 0, 2);
                         if (args.size() < 2) {
                             std::printf("%s", standin::DumpWholeRegistry().c_str());
                             return;
                         }
                         KeyRef k = ParseKey(args[1]);
                         std::string text = standin::DumpRegistry(k.root, standin::FromUtf8(k.subkey));
                         if (text.empty()) throw CommandError("no key " + k.Full());
                         std::printf("%s", text.c_str());
                     } else if (verb == "set") {
                         Arity(args, 4, 4);
                         KeyRef k = ParseKey(args[1]);
                         const std::string &value = args[3];
                         const bool typed = value.rfind("dword:", 0) == 0 || value.rfind("hex:", 0) == 0 ||
                                            value.rfind("hex(", 0) == 0;
                         LoadRegLines("[" + k.Full() + "]\n" + (args[2] == "@" ? "@" : Quoted(args[2])) + "=" +
                                      (typed ? value : Quoted(value)) + "\n");
                         std::printf("%s: %s set\n", Console::Shown(k.Full(), 0).c_str(), Console::Shown(args[2], 0).c_str());
                     } else if (verb == "delete") {
                         Arity(args, 2, 3);
                         KeyRef k = ParseKey(args[1]);
                         if (k.subkey.empty()) throw CommandError("a root key cannot be deleted");
                         if (!KeyExists(k)) throw CommandError("no key " + k.Full());
                         if (args.size() == 2) {
                             LoadRegLines("[-" + k.Full() + "]\n");
                             std::printf("%s deleted\n", Console::Shown(k.Full(), 0).c_str());
                             return;
                         }
                         HKEY h;
                         RegOpenKeyExW(k.root, standin::FromUtf8(k.subkey).c_str(), 0, 0, &h);
                         std::u16string name = args[2] == "@" ? u"" : standin::FromUtf8(args[2]);
                         DWORD cb = 0;
                         LONG found = RegQueryValueExW(h, name.c_str(), nullptr, nullptr, nullptr, &cb);
                         RegCloseKey(h);
                         if (found != ERROR_SUCCESS) throw CommandError("no value " + args[2] + " in " + k.Full());
                         LoadRegLines("[" + k.Full() + "]\n" + (args[2] == "@" ? "@" : Quoted(args[2])) + "=-\n");
                         std::printf("%s: %s deleted\n", Console::Shown(k.Full(), 0).c_str(), Console::Shown(args[2], 0).c_str());
                     } else if (verb == "save") {
                         Arity(args, 1, 2);
                         std::string file = args.size() == 2 ? args[1] : keeper ? keeper->HivePath() : "";
                         if (file.empty()) throw CommandError("there is no state folder (run --state DIR): name a FILE");
                         std::string error;
                         if (!standin::SaveRegFile(file, &error)) throw CommandError(error);
                         std::printf("registry saved to %s\n", Console::Shown(file, 0).c_str());
                     } else {
                         throw CommandError("unknown registry command '" + args[0] + "'", true);
                     }
                 }});

    console.Add({"echo", "echo TEXT", "print the text (marks places in a scripted console's output)", "",
                 [](const Args &args) { std::printf("%s\n", Console::Shown(Join(args, 0), 0).c_str()); }});

    auto quit = [&console](const Args &args) {
        Arity(args, 0, 0);
        console.Quit();
    };
    console.Add({"quit", "quit", "unplug every adapter, save the registry and leave", "", quit});
    console.Add({"exit", "exit", "the same as quit", "", quit});
}

}  // namespace qsxsim
