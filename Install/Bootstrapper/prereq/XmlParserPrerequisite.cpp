#include "prereq/XmlParserPrerequisite.h"

#include "driver/RunState.h"

// Placeholders until the parser step exists: the parser counts as present.
bool IsXmlParserPresent() {
  return true;
}

bool IsWow64() {
  return false;
}

unsigned long InstallXmlParserPrerequisite(RunState&) {
  return ERROR_SUCCESS;
}
