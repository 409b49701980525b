#include "app/SimpleOpt.h"

#include <cstring>

namespace {

size_t LeadingDashes(const char* text) {
  size_t n = 0;
  while (text[n] == '-') ++n;
  return n;
}

}  // namespace

template <class SOCHAR>
CSimpleOptTempl<SOCHAR>::CSimpleOptTempl(int argc, SOCHAR* argv[], const SOption* options, int)
    : m_argc(argc < 0 ? 0 : argc),
      m_argv(argv),
      m_options(options),
      m_isFile(static_cast<size_t>(m_argc), false) {}

template <class SOCHAR>
int CSimpleOptTempl<SOCHAR>::FindOption(const SOCHAR* name, size_t nameLength, ESOError* error) const {
  const size_t dashes = LeadingDashes(name) < nameLength ? LeadingDashes(name) : nameLength;
  int prefixMatch = -1;
  int prefixCount = 0;
  for (int i = 0; m_options[i].nId != -1 && m_options[i].pszArg != nullptr; ++i) {
    const SOCHAR* option = m_options[i].pszArg;
    if (LeadingDashes(option) != dashes) continue;
    size_t optionLength = strlen(option);
    if (optionLength == nameLength && memcmp(option, name, nameLength) == 0) {
      *error = SO_SUCCESS;
      return i;
    }
    if (nameLength < optionLength && memcmp(option, name, nameLength) == 0) {
      ++prefixCount;
      prefixMatch = i;
    }
  }
  if (prefixCount == 1) {
    *error = SO_SUCCESS;
    return prefixMatch;
  }
  *error = prefixCount > 1 ? SO_OPT_MULTIPLE : SO_OPT_INVALID;
  return -1;
}

template <class SOCHAR>
bool CSimpleOptTempl<SOCHAR>::Next() {
  m_error = SO_SUCCESS;
  m_id = -1;
  m_text = nullptr;
  m_arg = nullptr;
  while (m_next < m_argc && m_argv[m_next][0] != '-') {
    m_isFile[static_cast<size_t>(m_next)] = true;
    m_files.push_back(m_argv[m_next++]);
  }
  if (m_next >= m_argc) {
    if (!m_done) MoveFilesToEnd();
    m_done = true;
    return false;
  }

  SOCHAR* word = m_argv[m_next++];
  const SOCHAR* equals = strchr(word, '=');
  size_t nameLength = equals ? static_cast<size_t>(equals - word) : strlen(word);
  int index = FindOption(word, nameLength, &m_error);
  m_text = word;
  if (index < 0) return true;

  const SOption& option = m_options[index];
  m_id = option.nId;
  m_text = option.pszArg;
  if (option.nArgType == SO_NONE) {
    if (equals) m_error = SO_ARG_INVALID;
    return true;
  }
  if (equals) {
    m_arg = const_cast<SOCHAR*>(equals + 1);
  } else if (m_next < m_argc && m_argv[m_next][0] != '-') {
    m_arg = m_argv[m_next++];
  } else {
    m_error = SO_ARG_MISSING;
  }
  return true;
}

template <class SOCHAR>
void CSimpleOptTempl<SOCHAR>::MoveFilesToEnd() {
  if (m_files.empty()) return;
  std::vector<SOCHAR*> ordered;
  ordered.reserve(static_cast<size_t>(m_argc));
  for (int i = 1; i < m_argc; ++i)
    if (!m_isFile[static_cast<size_t>(i)]) ordered.push_back(m_argv[i]);
  ordered.insert(ordered.end(), m_files.begin(), m_files.end());
  for (int i = 1; i < m_argc; ++i) m_argv[i] = ordered[static_cast<size_t>(i - 1)];
}

template class CSimpleOptTempl<char>;
