// Public suffix lookups over libpsl's built-in list, and the list code generator. See orv-psl.h.
#include "orv-psl.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>

#include "orv-coll.h"
#include "orv-psl-library.h"
#include "orv-punycode.h"
#include "orv-shared-library.h"
#include "orv-sys.h"

namespace {

struct SPslFunctions {
    decltype(&::psl_builtin) pfnBuiltin = nullptr;
    decltype(&::psl_unregistrable_domain) pfnUnregistrable = nullptr;
    decltype(&::psl_is_public_suffix2) pfnIsPublicSuffix2 = nullptr;
};
SPslFunctions g_psl;
const SOrvLibraryFunction kPslFunctions[] = {
    OrvLibraryFunction("psl_builtin", &g_psl.pfnBuiltin),
    OrvLibraryFunction("psl_unregistrable_domain", &g_psl.pfnUnregistrable),
    OrvLibraryFunction("psl_is_public_suffix2", &g_psl.pfnIsPublicSuffix2),
};

// Only this many labels at the end of a host are judged.
constexpr int kMaxLabels = 8;

// A lower-cased copy of a host in a buffer of the caller (or the heap when it is long).
class LowerHost {
public:
    LowerHost(const char* p, int n) : m_n(n) {
        m_p = n < static_cast<int>(sizeof(m_buf)) ? m_buf : m_heap.GetBuffer(n);
        if (m_p == nullptr) {
            m_n = 0;
            return;
        }
        for (int i = 0; i < n; ++i) {
            const char c = p[i];
            m_p[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        m_p[n] = 0;
    }
    const char* Get() const { return m_p; }
    int Length() const { return m_n; }

private:
    char m_buf[512];
    COrvStringA m_heap;
    char* m_p;
    int m_n;
};

}  // namespace

const psl_ctx_t* OrvPslBuiltin() {
    static COrvSharedLibrary s_library("libpsl.so.5", kPslFunctions, std::size(kPslFunctions));
    COrvError err;
    return s_library.Load(err) ? g_psl.pfnBuiltin() : nullptr;
}

const char* OrvPslUnregistrableDomain(const psl_ctx_t* psl, const char* pszDomain) {
    return g_psl.pfnUnregistrable(psl, pszDomain);
}

bool OrvPslIsPublicSuffix(const psl_ctx_t* psl, const char* pszDomain, int nType) {
    return g_psl.pfnIsPublicSuffix2(psl, pszDomain, nType) != 0;
}

int OrvPublicSuffixPos(const char* pszHost, int nLen) {
    if (pszHost == nullptr)
        return -1;
    const int n = nLen >= 0 ? nLen : static_cast<int>(strlen(pszHost));
    if (n == 0 || memchr(pszHost, 0, static_cast<size_t>(n)) != nullptr)
        return -1;
    const psl_ctx_t* psl = OrvPslBuiltin();
    if (psl == nullptr)
        return -1;
    const LowerHost host(pszHost, n);
    if (host.Get() == nullptr || host.Length() != n)
        return -1;
    const char* pStart = host.Get();
    int nDots = 0;
    for (int i = n - 1; i >= 0; --i) {
        if (pStart[i] == '.' && ++nDots == kMaxLabels) {
            pStart += i + 1;
            break;
        }
    }
    const char* pSuffix = OrvPslUnregistrableDomain(psl, pStart);
    if (pSuffix == nullptr)
        return -1;
    return static_cast<int>(pSuffix - host.Get());
}

bool OrvSplitHost(const char* pszHost, COrvStringA& strSubdomain, COrvStringA& strDomain) {
    strSubdomain.Empty();
    strDomain.Empty();
    COrvStringA ascii;
    COrvError err;
    if (pszHost == nullptr || !OrvHostToAscii(pszHost, -1, ascii, err))
        return false;
    // A host with an empty label (a leading dot, two dots in a row) names no domain at all;
    // the list would otherwise take the empty label for one ("example..com").
    if (ascii.IsEmpty() || ascii[0] == '.' || ascii.Find("..") >= 0)
        return false;
    const int nPos = OrvPublicSuffixPos(ascii.GetString(), ascii.GetLength());
    // nPos - 1 is the "." in front of the suffix; a label must come before it.
    if (nPos < 2)
        return false;
    int iStart = nPos - 2;
    while (iStart >= 0 && ascii[iStart] != '.')
        --iStart;
    ++iStart;
    if (iStart == nPos - 1)
        return false;
    strDomain = ascii.Mid(iStart);
    if (iStart > 0)
        strSubdomain = ascii.Left(iStart - 1);
    return true;
}

COrvStringA OrvRegistrableDomain(const char* pszHost) {
    COrvStringA strSub, strDomain;
    if (!OrvSplitHost(pszHost, strSub, strDomain))
        return COrvStringA();
    return strDomain;
}

// ---------------------------------------------------------------------------------------------
// The list code generator.

namespace {

enum : int { kExclRule = 0, kExclException = 1, kExclPath = 2 };

struct PslNode {
    COrvStringA strLabel;
    COrvStringA strIdent;  // mangled path, "" for the root
    int iFirstChild = -1;  // children as a list through iNext, sorted by label before writing
    int iNext = -1;
    int nChildren = 0;
    int nExclusion = kExclPath;
};

// Identifier text of a label: letters and digits as they are, "-" as "H", the wildcard "*" as
// "ANY", anything else as "X" and two hex digits. Labels are lower case, so this is one to one.
void AppendMangled(COrvStringA& out, const COrvStringA& label) {
    if (label == "*") {
        out += "ANY";
        return;
    }
    for (int i = 0; i < label.GetLength(); ++i) {
        const auto c = static_cast<unsigned char>(label[i]);
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            out.AppendChar(static_cast<char>(c));
        else if (c == '-')
            out.AppendChar('H');
        else
            out.AppendFormat("X%02X", c);
    }
}

class PslTree {
public:
    PslTree() { m_nodes.Add(); }

    // Adds a rule given as lower-case ASCII labels (right-most first). False on lack of memory.
    bool AddRule(const COrvStringA& strRule, bool bException) {
        int iNode = 0;
        int end = strRule.GetLength();
        while (end >= 0) {
            int start = end - 1;
            while (start >= 0 && strRule[start] != '.')
                --start;
            const COrvStringA label = strRule.Mid(start + 1, end - start - 1);
            iNode = Child(iNode, label);
            if (iNode < 0)
                return false;
            end = start;
        }
        Node(iNode).nExclusion = bException ? kExclException : kExclRule;
        return true;
    }

    bool Write(OrvPslCodeForm nForm, COrvStringA& out) {
        SortChildren();
        if (nForm == enPslCodeC) {
            WriteC(out);
        } else {
            out += nForm == enPslCodeScript ? "var PSLTree = " : "export const PSLTree = ";
            WriteScript(out, 0, 0);
            out.AppendFormat(";\n// Total nodes: %d\n// END LIST\n\n",
                             static_cast<int>(m_nodes.GetCount()));
        }
        return true;
    }

private:
    int Child(int iParent, const COrvStringA& label) {
        for (int i = Node(iParent).iFirstChild; i >= 0; i = Node(i).iNext) {
            if (Node(i).strLabel == label)
                return i;
        }
        const size_t iNew = m_nodes.Add();
        if (iNew == m_nodes.kNoIndex)
            return -1;
        const int n = static_cast<int>(iNew);
        Node(n).strLabel = label;
        Node(n).strIdent = Node(iParent).strIdent;
        Node(n).strIdent += "_";
        AppendMangled(Node(n).strIdent, label);
        Node(n).iNext = Node(iParent).iFirstChild;
        Node(iParent).iFirstChild = n;
        ++Node(iParent).nChildren;
        return n;
    }

    PslNode& Node(int i) { return m_nodes[static_cast<size_t>(i)]; }

    // The children of a node in their list order.
    void Children(int iNode, COrvArray<int>& kids) {
        kids.RemoveAll();
        for (int i = Node(iNode).iFirstChild; i >= 0; i = Node(i).iNext)
            kids.Add(i);
    }

    void SortChildren() {
        COrvArray<int> kids;
        for (int i = 0; i < static_cast<int>(m_nodes.GetCount()); ++i) {
            Children(i, kids);
            std::sort(kids.GetData(), kids.GetData() + kids.GetCount(), [this](int a, int b) {
                return strcmp(Node(a).strLabel, Node(b).strLabel) < 0;
            });
            int iNext = -1;
            for (size_t k = kids.GetCount(); k-- > 0;) {
                Node(kids[k]).iNext = iNext;
                iNext = kids[k];
            }
            Node(i).iFirstChild = iNext;
        }
    }

    // The labels used by more than one node, most used first (then by label), for "S" lines.
    void CollectShared() {
        COrvArray<const char*> labels;
        for (size_t i = 1; i < m_nodes.GetCount(); ++i)
            labels.Add(m_nodes[i].strLabel.GetString());
        std::sort(labels.GetData(), labels.GetData() + labels.GetCount(),
                  [](const char* a, const char* b) { return strcmp(a, b) < 0; });
        for (size_t i = 0; i < labels.GetCount();) {
            size_t j = i + 1;
            while (j < labels.GetCount() && strcmp(labels[i], labels[j]) == 0)
                ++j;
            if (j - i > 1) {
                const size_t k = m_shared.Add();
                if (k != m_shared.kNoIndex) {
                    m_shared[k].pszLabel = labels[i];
                    m_shared[k].nCount = static_cast<int>(j - i);
                }
            }
            i = j;
        }
        std::sort(m_shared.GetData(), m_shared.GetData() + m_shared.GetCount(),
                  [](const Shared& a, const Shared& b) {
                      return a.nCount != b.nCount ? a.nCount > b.nCount
                                                  : strcmp(a.pszLabel, b.pszLabel) < 0;
                  });
    }

    bool IsShared(const char* pszLabel) const {
        for (size_t i = 0; i < m_shared.GetCount(); ++i) {
            if (strcmp(m_shared[i].pszLabel, pszLabel) == 0)
                return true;
        }
        return false;
    }

    static void AppendLabelName(COrvStringA& out, const COrvStringA& label) {
        out += "s_";
        AppendMangled(out, label);
    }

    void WriteC(COrvStringA& out) {
        out +=
            "#pragma pack(push, 1)\n"
            "struct PSLNode {\n"
            "    const char* m_label;\n"
            "    const struct PSLNode* const* m_children;\n"
            "    short m_children_count;\n"
            "    short m_exclusion;\n"
            "};\n"
            "#define S static const char\n"
            "#define L static const struct PSLNode\n"
            "#define A static const struct PSLNode* const\n\n";
        CollectShared();
        for (size_t i = 0; i < m_shared.GetCount(); ++i) {
            COrvStringA name;
            AppendLabelName(name, COrvStringA(m_shared[i].pszLabel));
            name += "[]";
            out.AppendFormat("S %s = \"%s\";\n", name.GetString(), m_shared[i].pszLabel);
        }
        out += "#undef S\n\n";
        WriteCNode(out, 0);
        out.AppendFormat(
            "#undef L\n#undef A\n#pragma pack(pop)\n\n// Total nodes: %d\n// END LIST\n\n",
            static_cast<int>(m_nodes.GetCount()));
    }

    void WriteCNode(COrvStringA& out, int iNode) {
        for (int i = Node(iNode).iFirstChild; i >= 0; i = Node(i).iNext)
            WriteCNode(out, i);
        const PslNode& node = Node(iNode);
        const char* pszPath = iNode == 0 ? "_ROOT" : node.strIdent.GetString();
        COrvStringA strArray = "0";
        if (node.iFirstChild >= 0) {
            strArray.Format("A_SUBDOMAINS_OF%s", pszPath);
            out.AppendFormat("A %s[] = {", strArray.GetString());
            for (int i = node.iFirstChild; i >= 0; i = Node(i).iNext) {
                out.AppendFormat("%s&N%s", i != node.iFirstChild ? ", " : "",
                                 Node(i).strIdent.GetString());
            }
            out += "};\n";
        }
        COrvStringA strLabel;
        if (iNode != 0 && IsShared(node.strLabel))
            AppendLabelName(strLabel, node.strLabel);
        else
            strLabel.Format("\"%s\"", node.strLabel.GetString());
        COrvStringA strName;
        if (iNode == 0)
            strName = "g_PSLTree";
        else
            strName.Format("N%s", node.strIdent.GetString());
        out.AppendFormat("L %s = {%s, %s, %d, %d};\n", strName.GetString(), strLabel.GetString(),
                         strArray.GetString(), node.nChildren, node.nExclusion);
    }

    void WriteScript(COrvStringA& out, int iNode, int nDepth) {
        const PslNode& node = Node(iNode);
        out.AppendFormat("{m_label: \"%s\", m_exclusion: %d, m_children: [",
                         node.strLabel.GetString(), node.nExclusion);
        for (int i = node.iFirstChild; i >= 0; i = Node(i).iNext) {
            out += i != node.iFirstChild ? ",\n" : "\n";
            out += COrvStringA(' ', 2 * (nDepth + 1));
            WriteScript(out, i, nDepth + 1);
        }
        out += "]}";
    }

    struct Shared {
        const char* pszLabel;
        int nCount;
    };

    COrvArray<PslNode> m_nodes;
    COrvArray<Shared> m_shared;
};

bool ReadFile(const char* pszPath, COrvStringA& out, COrvError& err) {
    const int fd = OrvSysOpen(pszPath, O_RDONLY);
    if (fd < 0) {
        COrvStringA prefix;
        prefix.Format("Cannot open %s: ", pszPath);
        return err.SetErrno(errno, prefix);
    }
    struct stat st;
    bool bOk = true;
    if (g_orv_sys.fstat(fd, &st) != 0) {
        COrvStringA prefix;
        prefix.Format("Cannot read %s: ", pszPath);
        bOk = err.SetErrno(errno, prefix);
    } else if (st.st_size > 64 * 1024 * 1024) {
        bOk = err.SetFormat(enNetResources, "Cannot read %s: larger than 64 MiB", pszPath);
    } else {
        const auto nSize = static_cast<size_t>(st.st_size);
        char* p = out.GetBuffer(static_cast<int>(nSize));
        const long nRead = p != nullptr ? OrvSysReadAll(fd, p, nSize) : -1;
        if (p == nullptr) {
            bOk = err.Set(enNetNoMemory, "Out of memory");
        } else if (nRead < 0) {
            COrvStringA prefix;
            prefix.Format("Cannot read %s: ", pszPath);
            bOk = err.SetErrno(errno, prefix);
            out.ReleaseBuffer(0);
        } else {
            out.ReleaseBuffer(static_cast<int>(nRead));
        }
    }
    OrvSysClose(fd);
    return bOk;
}

}  // namespace

bool OrvPslGenerateCode(const char* pszListPath, OrvPslCodeForm nForm, OrvTime tGenerated,
                        COrvStringA& strCode, COrvError& err) {
    strCode.Empty();
    COrvStringA text;
    if (pszListPath == nullptr)
        return err.Set(enNetBadRequest, "No list file given");
    if (!ReadFile(pszListPath, text, err))
        return false;
    PslTree tree;
    const char* p = text.GetString();
    const char* const pEnd = p + text.GetLength();
    int nLine = 0;
    while (p < pEnd) {
        ++nLine;
        const char* pEol = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pEnd - p)));
        if (pEol == nullptr)
            pEol = pEnd;
        // A rule is the line's text up to the first white space.
        const char* q = p;
        while (q < pEol && *q != ' ' && *q != '\t' && *q != '\r')
            ++q;
        const char* pRule = p;
        p = pEol + 1;
        if (q == pRule || (q - pRule >= 2 && pRule[0] == '/' && pRule[1] == '/'))
            continue;
        const bool bException = *pRule == '!';
        if (bException)
            ++pRule;
        COrvStringA ascii;
        if (pRule == q || !OrvHostToAscii(pRule, static_cast<int>(q - pRule), ascii, err)) {
            err.Set(enNetBadRequest, "bad rule");
            COrvStringA context;
            context.Format("%s line %d: ", pszListPath, nLine);
            err.AddContext(context);
            return false;
        }
        if (!tree.AddRule(ascii, bException))
            return err.Set(enNetNoMemory, "Out of memory");
    }
    strCode.Format(
        "// Public Suffix List\n// https://publicsuffix.org/list/public_suffix_list.dat\n"
        "// Generated: %s\n// BEGIN LIST\n\n",
        OrvFormatTime(tGenerated, kOrvDefaultTimeFormat, false).GetString());
    if (!tree.Write(nForm, strCode)) {
        strCode.Empty();
        return err.Set(enNetNoMemory, "Out of memory");
    }
    return true;
}
