#include "web/mudlet_package.h"

#include "web/page_files.h"
#include "web/stored_zip.h"

namespace web {

namespace {

constexpr std::string_view kConfig =
    "mpackage = [[pelthollow]]\n"
    "author = [[Pelthollow]]\n"
    "title = [[Pelthollow map and health]]\n"
    "description = [[Draws the territory in the mapper from GMCP Room.Info and shows your "
    "cat's health from Char.Vitals.]]\n"
    "version = [[1]]\n";

std::string PackageXml() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE MudletPackage>\n"
      "<MudletPackage version=\"1.001\">\n"
      "  <ScriptPackage>\n"
      "    <Script isActive=\"yes\" isFolder=\"no\">\n"
      "      <name>Pelthollow</name>\n"
      "      <packageName>pelthollow</packageName>\n"
      "      <script>";
  xml += EscapeXml(kMudletScript);
  xml +=
      "</script>\n"
      "      <eventHandlerList />\n"
      "    </Script>\n"
      "  </ScriptPackage>\n"
      "</MudletPackage>\n";
  return xml;
}

}  // namespace

std::string EscapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string_view MudletPackage() {
  static const std::string package = StoredZip({
      {"config.lua", std::string(kConfig)},
      {"pelthollow.xml", PackageXml()},
  });
  return package;
}

}  // namespace web
