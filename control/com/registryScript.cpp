#include "registryScript.h"

#include <memory>
#include <vector>

namespace qvcom {

namespace {

struct Value {
    std::wstring name;  // empty: the key's default value
    bool dword = false;
    std::wstring text;
};

struct Key {
    std::wstring name;
    bool noRemove = false;
    bool forceRemove = false;
    std::vector<Value> values;
    std::vector<Key> keys;
};

class Parser {
public:
    Parser(const std::string& text, const Replacements& r) : m_text(widen(text)), m_repl(r) {}

    bool parse(std::vector<Key>& roots) {
        while (next()) {
            Key root;
            root.name = m_tok;
            root.noRemove = true;
            if (!next() || m_tok != L"{" || !body(root)) return false;
            roots.push_back(std::move(root));
        }
        return true;
    }

private:
    static std::wstring widen(const std::string& s) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
        std::wstring w(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
        return w;
    }

    std::wstring substitute(const std::wstring& s) const {
        std::wstring out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == L'%') {
                const size_t j = s.find(L'%', i + 1);
                if (j != std::wstring::npos) {
                    auto it = m_repl.find(s.substr(i + 1, j - i - 1));
                    if (it != m_repl.end()) {
                        out += it->second;
                        i = j;
                        continue;
                    }
                }
            }
            out += s[i];
        }
        return out;
    }

    // Next token into m_tok: a brace, "=", a quoted text or a bare word.
    bool next() {
        while (m_pos < m_text.size() && iswspace(m_text[m_pos])) ++m_pos;
        if (m_pos >= m_text.size()) return false;
        const wchar_t c = m_text[m_pos];
        // A brace stands alone; "{...}" with no blank after the brace is a
        // name (a class id).
        const bool alone = m_pos + 1 >= m_text.size() || iswspace(m_text[m_pos + 1]);
        if (((c == L'{' || c == L'}') && alone) || c == L'=') {
            m_tok.assign(1, c);
            ++m_pos;
            m_quoted = false;
            return true;
        }
        m_tok.clear();
        if (c == L'\'') {
            ++m_pos;
            while (m_pos < m_text.size()) {
                if (m_text[m_pos] == L'\'') {
                    if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == L'\'') {
                        m_tok += L'\'';
                        m_pos += 2;
                        continue;
                    }
                    break;
                }
                m_tok += m_text[m_pos++];
            }
            if (m_pos >= m_text.size()) return false;  // unterminated text
            ++m_pos;
            m_quoted = true;
        } else {
            while (m_pos < m_text.size() && !iswspace(m_text[m_pos]) && m_text[m_pos] != L'=')
                m_tok += m_text[m_pos++];
            m_quoted = false;
        }
        m_tok = substitute(m_tok);
        return true;
    }

    // "s 'text'" or "d 'number'" after an "=".
    bool typedValue(Value& v) {
        if (!next() || m_quoted || (m_tok != L"s" && m_tok != L"d")) return false;
        v.dword = m_tok == L"d";
        if (!next()) return false;
        v.text = m_tok;
        return true;
    }

    // The entries of a key up to its closing brace.
    bool body(Key& key) {
        for (;;) {
            if (!next()) return false;
            if (!m_quoted && m_tok == L"}") return true;
            if (!m_quoted && m_tok == L"val") {
                Value v;
                if (!next()) return false;
                v.name = m_tok;
                if (!next() || m_tok != L"=" || !typedValue(v)) return false;
                key.values.push_back(std::move(v));
                continue;
            }
            Key sub;
            if (!m_quoted && (m_tok == L"NoRemove" || m_tok == L"ForceRemove")) {
                sub.noRemove = m_tok == L"NoRemove";
                sub.forceRemove = !sub.noRemove;
                if (!next()) return false;
            }
            sub.name = m_tok;
            const size_t save = m_pos;
            if (next() && !m_quoted && m_tok == L"=") {
                Value v;
                if (!typedValue(v)) return false;
                sub.values.push_back(std::move(v));
            } else {
                m_pos = save;
            }
            const size_t save2 = m_pos;
            if (next() && !m_quoted && m_tok == L"{") {
                if (!body(sub)) return false;
            } else {
                m_pos = save2;
            }
            key.keys.push_back(std::move(sub));
        }
    }

    std::wstring m_text;
    const Replacements& m_repl;
    size_t m_pos = 0;
    std::wstring m_tok;
    bool m_quoted = false;
};

HRESULT fromWin32(LONG r) { return r == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(r); }

HRESULT setValue(HKEY key, const Value& v) {
    const wchar_t* name = v.name.empty() ? nullptr : v.name.c_str();
    if (v.dword) {
        DWORD d = static_cast<DWORD>(wcstoul(v.text.c_str(), nullptr, 0));
        return fromWin32(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d));
    }
    return fromWin32(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text.c_str()),
                                    static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t))));
}

HRESULT registerKey(HKEY parent, const Key& k) {
    if (k.forceRemove) RegDeleteTreeW(parent, k.name.c_str());
    HKEY key;
    HRESULT hr = fromWin32(RegCreateKeyExW(parent, k.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (FAILED(hr)) return hr;
    for (const Value& v : k.values)
        if (FAILED(hr = setValue(key, v))) break;
    if (SUCCEEDED(hr))
        for (const Key& sub : k.keys)
            if (FAILED(hr = registerKey(key, sub))) break;
    RegCloseKey(key);
    return hr;
}

void unregisterKey(HKEY parent, const Key& k) {
    if (k.forceRemove) {
        RegDeleteTreeW(parent, k.name.c_str());
        return;
    }
    HKEY key;
    if (RegOpenKeyExW(parent, k.name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    for (const Key& sub : k.keys) unregisterKey(key, sub);
    for (const Value& v : k.values)
        if (!v.name.empty()) RegDeleteValueW(key, v.name.c_str());
    DWORD subkeys = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    if (!k.noRemove && subkeys == 0) RegDeleteKeyW(parent, k.name.c_str());
}

}  // namespace

HRESULT runRegistryScript(const std::string& script, const Replacements& replacements, bool registering,
                          HKEY classesRoot) {
    std::vector<Key> roots;
    if (!Parser(script, replacements).parse(roots)) return E_UNEXPECTED;
    for (const Key& root : roots) {
        HKEY hive;
        if (root.name == L"HKCR" || root.name == L"HKEY_CLASSES_ROOT") hive = classesRoot;
        else if (root.name == L"HKCU" || root.name == L"HKEY_CURRENT_USER") hive = HKEY_CURRENT_USER;
        else if (root.name == L"HKLM" || root.name == L"HKEY_LOCAL_MACHINE") hive = HKEY_LOCAL_MACHINE;
        else return E_UNEXPECTED;
        for (const Key& k : root.keys) {
            if (registering) {
                HRESULT hr = registerKey(hive, k);
                if (FAILED(hr)) return hr;
            } else {
                unregisterKey(hive, k);
            }
        }
    }
    return S_OK;
}

}  // namespace qvcom
