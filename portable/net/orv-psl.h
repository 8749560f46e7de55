// Public suffixes: where the public suffix of a host starts, its registrable domain, and a code
// generator that writes a Public Suffix List file as source code for a compact label tree.
//
// The lookups use the built-in list of libpsl. They keep no state of their own: any thread may
// call them.
#pragma once

#include "orv-error.h"
#include "orv-string.h"
#include "orv-time.h"

// Index into pszHost (nLen bytes, -1: up to the NUL) where its public suffix starts, or -1 for an
// empty host (or when the list cannot be loaded). Only the last 8 labels are judged: from the
// left of those, one label at a time is dropped until the rest is a public suffix (ASCII letters
// are compared ignoring case). A host that is itself a public suffix gives 0; so does a host
// without a dot, since a label that no rule names counts as a public suffix of its own.
int OrvPublicSuffixPos(const char* pszHost, int nLen = -1);

// The registrable domain of a host: the host is converted to its lower-case ASCII form
// (OrvHostToAscii), and the label left of its public suffix is returned together with that
// suffix ("www.example.co.uk" -> "example.co.uk"; "a.b.xn--p1ai" for an international name).
// Empty when the host has none: an empty host, a host that is itself a public suffix (which
// includes every host without a dot, such as "localhost"), a host whose name cannot be
// converted, or a host with an empty label anywhere (".example.com", "example..com").
COrvStringA OrvRegistrableDomain(const char* pszHost);

// Splits a host into the part left of its registrable domain (without the final ".", empty when
// there is none) and the registrable domain, both in the ASCII form. False, with both outputs
// empty, when the host has no registrable domain (see OrvRegistrableDomain).
[[nodiscard]] bool OrvSplitHost(const char* pszHost, COrvStringA& strSubdomain,
                                COrvStringA& strDomain);

// Output forms of the list code generator.
enum OrvPslCodeForm : int {
    enPslCodeC = 0,       // C: "struct PSLNode" nodes, root g_PSLTree
    enPslCodeScript = 1,  // script: "var PSLTree = ..."
    enPslCodeModule = 2,  // script module: "export const PSLTree = ..."
};

// Reads a Public Suffix List file (UTF-8; "//" comment lines, one rule per line, "*" wildcard
// labels, "!" exception rules) and writes it as source code for a label tree whose root holds
// the top-level labels. Labels are stored in their lower-case ASCII form. Every node has a label,
// its children (sorted by label) and an exclusion value: 0 for a node that is a rule, 1 for an
// exception rule, 2 for a node that is only on the way to deeper rules.
//
// The text starts with the comment lines "// Public Suffix List", the list's download address,
// "// Generated: " and tGenerated in UTC as "%Y-%m-%d %H:%M:%S", "// BEGIN LIST", and an empty
// line. The C form then declares the packed struct PSLNode (m_label, m_children,
// m_children_count, m_exclusion, the counts as short), the labels used by more than one node as
// "S name = "label";" lines (most used first), then every node after its children as
// "L name = {label, children, count, exclusion};" and every child array as "A name[] = {...};"
// (names built from the labels, "_SUBDOMAINS_OF_" for child arrays and "ANY" for "*"), the root
// last as g_PSLTree, and ends with "#undef L", "#undef A", "#pragma pack(pop)", an empty line,
// "// Total nodes: N", "// END LIST" and an empty line. The script forms write the tree as one
// nested object literal after "var PSLTree = " or "export const PSLTree = " and end with ";",
// "// Total nodes: N", "// END LIST" and an empty line. N counts every node, the root included.
// Fails (output empty) when the file cannot be read (its errno text), is larger than 64 MiB, or
// holds a rule that cannot be converted. Blocks while reading; any thread.
[[nodiscard]] bool OrvPslGenerateCode(const char* pszListPath, OrvPslCodeForm nForm,
                                      OrvTime tGenerated, COrvStringA& strCode, COrvError& err);
