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

// For as long as it lives: keeps the first error libxml2 reports and
// silences every message, the generic ones included (parser options alone
// do not stop all of them). The previous handlers come back afterwards.
class XmlErrorCatcher {
 public:
  explicit XmlErrorCatcher(ReadFailure* failure)
      : failure_(failure),
        generic_(xmlGenericError),
        generic_context_(xmlGenericErrorContext),
        structured_(xmlStructuredError),
        structured_context_(xmlStructuredErrorContext) {
    xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);
    xmlSetStructuredErrorFunc(this, Catch);
  }
  ~XmlErrorCatcher() {
    xmlSetStructuredErrorFunc(structured_context_, structured_);
    xmlSetGenericErrorFunc(generic_context_, generic_);
  }
  XmlErrorCatcher(const XmlErrorCatcher&) = delete;
  XmlErrorCatcher& operator=(const XmlErrorCatcher&) = delete;

  bool caught() const { return caught_; }

 private:
  static void Catch(void* context, xmlErrorPtr error) {
    auto* self = static_cast<XmlErrorCatcher*>(context);
    if (error == nullptr || error->level < XML_ERR_ERROR || self->caught_) return;
    self->caught_ = true;
    self->failure_->line = error->line;
    self->failure_->column = error->int2;
    self->failure_->message =
        error->message != nullptr ? error->message : "XML error " + std::to_string(error->code);
  }

  ReadFailure* failure_;
  bool caught_ = false;
  xmlGenericErrorFunc generic_;
  void* generic_context_;
  xmlStructuredErrorFunc structured_;
  void* structured_context_;
};

// The text of a node as well-formed UTF-8.
std::string NodeContent(const xmlNode* node) {
  XmlStringPtr content(xmlNodeGetContent(node));
  return XmlSafeText(FromXml(content.get()));
}

}  // namespace

std::string FromXml(const xmlChar* text) {
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text));
}

XmlDocPtr ParseXml(std::string_view text, ReadFailure* failure) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    failure->message = "the file is too large";
    return nullptr;
  }
  XmlErrorCatcher catcher(failure);
  XmlDocPtr doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  // Namespace errors leave a document behind; they count all the same.
  if (catcher.caught()) return nullptr;
  if (doc == nullptr) failure->message = "the file is not an XML document";
  return doc;
}

Element ElementFromNode(const xmlNode* node) {
  Element element;
  element.name = FromXml(node->name);
  for (const xmlAttr* attribute = node->properties; attribute != nullptr;
       attribute = attribute->next) {
    // libxml2 lays out attribute nodes so that the node functions accept
    // them; this gives the value with entity references resolved.
    element.attributes.emplace_back(
        FromXml(attribute->name),
        NodeContent(reinterpret_cast<const xmlNode*>(attribute)));
  }
  element.text = NodeContent(node);
  for (const xmlNode* child = node->children; child != nullptr;
       child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      element.children.push_back(ElementFromNode(child));
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

bool ParseXmlRoot(std::string_view text, Element* root, ReadFailure* failure) {
  XmlDocPtr doc = ParseXml(text, failure);
  if (doc == nullptr) return false;
  const xmlNode* node = xmlDocGetRootElement(doc.get());
  if (node == nullptr) {
    failure->message = "the document has no root element";
    return false;
  }
  *root = ElementFromNode(node);
  return true;
}

}  // namespace zanth::config
