// libxml2 glue for the XML files: owning handles, strict parsing, and
// conversion between document nodes and Element values.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "config/read_failure.h"

namespace zanth::config {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

struct XmlStringFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlStringPtr = std::unique_ptr<xmlChar, XmlStringFree>;

inline const xmlChar* ToXml(const char* text) {
  return reinterpret_cast<const xmlChar*>(text);
}
inline const xmlChar* ToXml(const std::string& text) {
  return ToXml(text.c_str());
}
// Empty for nullptr.
std::string FromXml(const xmlChar* text);

// Parses text strictly, without network access and without printing
// libxml2's complaints: any error fails, also one that libxml2's recovery
// could repair (a file that is read only in part must not be written back
// with the rest missing). Warnings do not count. Returns the document, or
// nullptr with the place and message of the first error in *failure (its
// path is left alone).
XmlDocPtr ParseXml(std::string_view text, ReadFailure* failure);

// The element node as an Element: its local name (namespaces are ignored),
// its attributes, the concatenated text of the node and all its
// descendants, and its child elements, recursively. Texts are UTF-8 as the
// file holds them.
Element ElementFromNode(const xmlNode* node);

// Appends element under parent in namespace ns: its own text first, then its
// attributes, then its children. Text and values are made safe for XML
// first (XmlSafeText). Returns false when libxml2 runs out of memory.
bool AppendElement(xmlNode* parent, xmlNs* ns, const Element& element);

// The document as UTF-8 text, indented one element per line. Returns 0 or
// kNoMemory.
int DumpXml(xmlDoc* doc, std::string* out);

// A whole document: version "1.0", a root element declaring namespace_uri as
// its default namespace, and the children in order, dumped as DumpXml does.
// Returns 0 or kNoMemory.
int BuildXmlDocument(const char* root_name, const char* namespace_uri,
                     const std::vector<Element>& children, std::string* out);

// Parses text strictly (ParseXml) into *root. false, with *failure filled,
// when the text is not a well-formed document.
bool ParseXmlRoot(std::string_view text, Element* root, ReadFailure* failure);

}  // namespace zanth::config
