#include "loader/switches.h"

namespace ldr {
namespace {

// "NAME=VALUE" against a switch with a value: the value into *value.
bool TakeValue(std::string_view body, std::string_view name, PathText* value, bool* matched) {
  if (body.size() <= name.size() || CompareAsciiNoCase(body.substr(0, name.size()), name) != 0)
    return true;
  *matched = true;
  const std::string_view given = body.substr(name.size());
  if (given.empty()) return false;  // "/LOG=" names no file
  value->Assign(given);
  return !value->cut();
}

bool TakeSwitch(std::string_view argument, Switches* s) {
  if (argument.size() < 2 || (argument[0] != '/' && argument[0] != '-')) return false;
  const std::string_view body = argument.substr(1);
  struct Flag {
    const char* name;
    bool Switches::*field;
  };
  static const Flag kFlags[] = {{"S", &Switches::silent},
                                {"QUIET", &Switches::silent},
                                {"Q", &Switches::silent},
                                {"QN", &Switches::silent},
                                {"SILENT", &Switches::silent},
                                {"VERYSILENT", &Switches::silent},
                                {"WAIT", &Switches::wait},
                                {"NOWAIT", &Switches::no_wait},
                                {"KEEP", &Switches::keep},
                                {"NORESTART", &Switches::ignored},
                                {"SUPPRESSMSGBOXES", &Switches::ignored},
                                {"?", &Switches::help},
                                {"HELP", &Switches::help},
                                {"H", &Switches::help}};
  for (const Flag& flag : kFlags) {
    if (CompareAsciiNoCase(body, flag.name) == 0) {
      s->*flag.field = true;
      return true;
    }
  }
  struct Valued {
    const char* name;
    PathText Switches::*field;
  };
  static const Valued kValued[] = {
      {"LOG=", &Switches::log}, {"EXTRACT=", &Switches::extract}, {"TEMP=", &Switches::temp}};
  for (const Valued& valued : kValued) {
    bool matched = false;
    const bool taken = TakeValue(body, valued.name, &(s->*valued.field), &matched);
    if (matched) return taken;
  }
  return false;
}

}  // namespace

bool IsToDiskSwitch(std::string_view argument) {
  // "*TODISK" has seven characters: a longer argument is not the switch.
  return argument.size() == 7 && argument[0] == '*' &&
         CompareAsciiNoCase(argument.substr(1), "TODISK") == 0;
}

bool HasToDiskSwitch(std::string_view command_line) {
  size_t pos = 0;
  Text<0> program;
  ReadArgument(command_line, &pos, &program);
  Text<7> first;
  return ReadArgument(command_line, &pos, &first) && !first.cut() && IsToDiskSwitch(first);
}

bool ParseSwitches(std::string_view command_line, Switches* switches) {
  size_t pos = 0;
  Text<0> program;
  ReadArgument(command_line, &pos, &program);
  bool first = true;
  for (;;) {
    PathText argument;
    if (!ReadArgument(command_line, &pos, &argument)) return true;
    const bool to_disk = first && IsToDiskSwitch(argument);
    first = false;
    if (to_disk) {
      switches->to_disk = true;
    } else if (argument == "--") {
      switches->installer_arguments = pos;
      return true;
    } else if (argument.cut() || !TakeSwitch(argument, switches) ||
               (switches->wait && switches->no_wait)) {
      // /WAIT and /NOWAIT together ask for both: the later one is refused.
      switches->refused.Assign(argument.view().substr(0, kMaxShortText));
      return false;
    }
  }
}

}  // namespace ldr
