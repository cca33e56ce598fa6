// How deeply the elements of an XML text nest, found without recursion.
// TinyXML reads nested elements by recursion, on the caller's stack, and
// frees them the same way: a small text nested a hundred thousand deep
// overflows a thread's stack. Every text is measured before it is parsed.
#pragma once

// Deeper than any version or settings document needs, and far inside the
// stack of any thread that parses (each level costs TinyXML a few hundred
// bytes of stack to read and again to free).
const int kMaxXmlNesting = 256;

// The deepest nesting of elements that TinyXML reaches while it parses the
// zero-terminated text, as TinyXML would parse it (up to its first error),
// counting no further than limit + 1.
int XmlNestingDepth(const char* text, int limit);
