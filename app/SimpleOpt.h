// Command-line option scanner.
//
// Rules: argv[0] is skipped. A word starting with "-" is an option; text after
// its first "=" is its value. Names compare case-sensitively and with the same
// number of leading dashes; an exact match wins, otherwise a proper prefix of
// exactly one option selects it and a prefix of several is ambiguous. A value
// comes from "=" or the next word (not one starting with "-"). Words that are
// neither options nor values are moved, in order, to the end of argv once the
// scan is over. Errors are reported per option and never end the scan.
#pragma once

#include <cstddef>
#include <vector>

enum ESOArgType {
  SO_NONE,  // takes no value
  SO_REQ,   // needs a value: "-x=value" or "-x value"
};

enum ESOError {
  SO_SUCCESS = 0,
  SO_OPT_INVALID,   // no option has this name
  SO_OPT_MULTIPLE,  // the name is a prefix of several options
  SO_ARG_INVALID,   // a value given to an option that takes none
  SO_ARG_MISSING,   // no value for an option that needs one
};

template <class SOCHAR>
class CSimpleOptTempl {
 public:
  struct SOption {
    int nId;  // -1 ends the table
    const SOCHAR* pszArg;
    ESOArgType nArgType;
  };

  CSimpleOptTempl(int argc, SOCHAR* argv[], const SOption* options, int flags = 0);

  // Advances to the next option; false once every word was examined.
  bool Next();
  ESOError LastError() const { return m_error; }
  int OptionId() const { return m_id; }
  // The table's text of the matched option (or the user's word when none matched).
  const SOCHAR* OptionText() const { return m_text; }
  SOCHAR* OptionArg() const { return m_arg; }

  // Words that were neither options nor values, in their order.
  size_t FileCount() const { return m_files.size(); }
  SOCHAR* File(size_t index) const { return m_files[index]; }

 private:
  int FindOption(const SOCHAR* name, size_t nameLength, ESOError* error) const;
  void MoveFilesToEnd();

  int m_argc;
  SOCHAR** m_argv;
  const SOption* m_options;
  int m_next = 1;
  ESOError m_error = SO_SUCCESS;
  int m_id = -1;
  const SOCHAR* m_text = nullptr;
  SOCHAR* m_arg = nullptr;
  std::vector<SOCHAR*> m_files;
  std::vector<bool> m_isFile;  // per argv word
  bool m_done = false;
};

using CSimpleOpt = CSimpleOptTempl<char>;
