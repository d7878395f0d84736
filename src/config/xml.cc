// libxml2 glue for the configuration file.
#include "config/xml.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <utility>

#include "config/text.h"
#include "core/result.h"

namespace zanth::config {
namespace {

void IgnoreXmlMessage(void* /*context*/, const char* /*format*/, ...) {}

// Parser options turn off most of libxml2's output, but some messages go
// through the generic error handler regardless; this silences that too for
// as long as it lives and then puts the previous handler back.
class QuietXmlErrors {
 public:
  QuietXmlErrors()
      : handler_(xmlGenericError), context_(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);
  }
  ~QuietXmlErrors() { xmlSetGenericErrorFunc(context_, handler_); }
  QuietXmlErrors(const QuietXmlErrors&) = delete;
  QuietXmlErrors& operator=(const QuietXmlErrors&) = delete;

 private:
  xmlGenericErrorFunc handler_;
  void* context_;
};

// The text of a node as well-formed UTF-8: in recovery mode libxml2 can
// pass on bytes of a damaged document as they were, and text that is not
// UTF-8 would change (as Latin-1) each time the file is written.
std::string NodeContent(const xmlNode* node) {
  XmlStringPtr content(xmlNodeGetContent(node));
  return XmlSafeText(FromXml(content.get()));
}

}  // namespace

std::string FromXml(const xmlChar* text) {
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text));
}

XmlDocPtr ParseXml(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  QuietXmlErrors quiet;
  return XmlDocPtr(xmlReadMemory(text.data(), static_cast<int>(text.size()),
                                 nullptr, nullptr,
                                 XML_PARSE_RECOVER | XML_PARSE_NONET |
                                     XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

Element ElementFromNode(const xmlNode* node, std::size_t attribute_limit) {
  Element element;
  element.name = FromXml(node->name);
  for (const xmlAttr* attribute = node->properties; attribute != nullptr;
       attribute = attribute->next) {
    // libxml2 lays out attribute nodes so that the node functions accept
    // them; this gives the value with entity references resolved.
    std::string value =
        NodeContent(reinterpret_cast<const xmlNode*>(attribute));
    element.attributes.emplace_back(FromXml(attribute->name),
                                    CutText(value, attribute_limit));
  }
  element.text = NodeContent(node);
  for (const xmlNode* child = node->children; child != nullptr;
       child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      element.children.push_back(ElementFromNode(child, attribute_limit));
    }
  }
  return element;
}

bool AppendElement(xmlNode* parent, xmlNs* ns, const Element& element) {
  xmlNode* node = xmlNewChild(parent, ns, ToXml(element.name), nullptr);
  if (node == nullptr) return false;
  if (!element.text.empty()) {
    // Added as literal text: libxml2 escapes it when the document is dumped.
    xmlNodeAddContent(node, ToXml(XmlSafeText(element.text)));
  }
  for (const auto& [name, value] : element.attributes) {
    if (xmlNewProp(node, ToXml(name), ToXml(XmlSafeText(value))) == nullptr) {
      return false;
    }
  }
  for (const Element& child : element.children) {
    if (!AppendElement(node, ns, child)) return false;
  }
  return true;
}

int DumpXml(xmlDoc* doc, std::string* out) {
  xmlChar* memory = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &memory, &size, "UTF-8", 1);
  XmlStringPtr owned(memory);
  if (memory == nullptr || size < 0) return kNoMemory;
  out->assign(reinterpret_cast<const char*>(memory),
              static_cast<std::size_t>(size));
  return kOk;
}

int BuildXmlDocument(const char* root_name, const char* namespace_uri,
                     const std::vector<Element>& children, std::string* out) {
  XmlDocPtr doc(xmlNewDoc(ToXml("1.0")));
  if (doc == nullptr) return kNoMemory;
  xmlNode* root = xmlNewDocNode(doc.get(), nullptr, ToXml(root_name), nullptr);
  if (root == nullptr) return kNoMemory;
  xmlDocSetRootElement(doc.get(), root);
  xmlNs* ns = xmlNewNs(root, ToXml(namespace_uri), nullptr);
  if (ns == nullptr) return kNoMemory;
  xmlSetNs(root, ns);
  for (const Element& child : children) {
    if (!AppendElement(root, ns, child)) return kNoMemory;
  }
  return DumpXml(doc.get(), out);
}

bool ParseXmlRoot(std::string_view text, Element* root) {
  XmlDocPtr doc = ParseXml(text);
  if (doc == nullptr) return false;
  const xmlNode* node = xmlDocGetRootElement(doc.get());
  if (node == nullptr) return false;
  *root = ElementFromNode(node, 1023);
  return true;
}

}  // namespace zanth::config
