#pragma once

#include <windows.h>

#include <ios>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

// The argument vector that the platform splits from a command line
// (CommandLineToArgvW; argument 0 is the program path). A failed split gives
// argc 0 and a null vector.
class CommandLineArgs {
public:
    explicit CommandLineArgs(const std::wstring& commandLine);
    ~CommandLineArgs();

    CommandLineArgs(const CommandLineArgs&) = delete;
    CommandLineArgs& operator=(const CommandLineArgs&) = delete;

    int argc() const { return argc_; }
    wchar_t** argv() const { return argv_; }

private:
    int argc_;
    wchar_t** argv_;
};

namespace clx {

class noncopyable {
protected:
    noncopyable() {}
    ~noncopyable() {}

private:
    noncopyable(const noncopyable&) = delete;
    noncopyable& operator=(const noncopyable&) = delete;
};

// One character in both widths.
class literal_pair {
public:
    literal_pair(char narrow, wchar_t wide) : narrow_(narrow), wide_(wide) {}
    char narrow() const { return narrow_; }
    wchar_t wide() const { return wide_; }
    template <typename CharT>
    CharT get() const;

private:
    char narrow_;
    wchar_t wide_;
};
template <>
inline char literal_pair::get<char>() const { return narrow_; }
template <>
inline wchar_t literal_pair::get<wchar_t>() const { return wide_; }

inline literal_pair make_literal(char narrow, wchar_t wide) { return literal_pair(narrow, wide); }

class bad_lexical_cast : public std::bad_cast {
public:
    bad_lexical_cast(const std::type_info& source, const std::type_info& target)
        : source_(&source), target_(&target) {}
    const std::type_info& source_type() const { return *source_; }
    const std::type_info& target_type() const { return *target_; }
    const char* what() const noexcept override { return "bad lexical cast"; }

private:
    const std::type_info* source_;
    const std::type_info* target_;
};

namespace detail {
template <typename T>
struct string_char {
    typedef void type;
};
template <typename C, typename Tr, typename A>
struct string_char<std::basic_string<C, Tr, A>> {
    typedef C type;
};
template <typename Type, typename Source>
struct cast_char {
    typedef typename string_char<Source>::type source_char;
    typedef typename string_char<Type>::type target_char;
    typedef typename std::conditional<
        !std::is_void<source_char>::value, source_char,
        typename std::conditional<!std::is_void<target_char>::value, target_char, char>::type>::type type;
};
}  // namespace detail

// The string stream through which lexical_cast converts between different types.
template <typename Type, typename Source>
class cast_stream {
public:
    typedef typename detail::cast_char<Type, Source>::type char_type;

    explicit cast_stream(std::ios::fmtflags flags = std::ios::dec) { ss_.flags(flags); }

    Type convert(const Source& src) {
        if (!(ss_ << src)) throw bad_lexical_cast(typeid(Source), typeid(Type));
        Type dest = Type();
        if (!(ss_ >> dest)) throw bad_lexical_cast(typeid(Source), typeid(Type));
        return dest;
    }

private:
    std::basic_stringstream<char_type> ss_;
};

namespace detail {
template <typename Type, typename Source, bool Same = std::is_same<Type, Source>::value>
struct lexical_caster {
    static Type cast(const Source& src, std::ios::fmtflags flags) {
        cast_stream<Type, Source> stream(flags);
        return stream.convert(src);
    }
};
// Same type: a plain copy, so values keep their blanks.
template <typename Type, typename Source>
struct lexical_caster<Type, Source, true> {
    static Type cast(const Source& src, std::ios::fmtflags) { return src; }
};
}  // namespace detail

template <typename Type, typename Source>
Type lexical_cast(const Source& src, std::ios::fmtflags flags = std::ios::dec) {
    return detail::lexical_caster<Type, Source>::cast(src, flags);
}

// Reads one token: separators split, quotes group (and are dropped), an escape
// takes the next character literally. An escape at the very end drops the
// partial token.
template <typename CharT, typename Traits = std::char_traits<CharT>>
class escape_separator {
public:
    typedef std::basic_string<CharT, Traits> string_type;

    explicit escape_separator(const string_type& separators = string_type(1, make_literal(',', L',').get<CharT>()),
                              const string_type& quotes = string_type(1, make_literal('"', L'"').get<CharT>()),
                              const string_type& escapes = string_type(1, make_literal('\\', L'\\').get<CharT>()),
                              bool keepEmpty = false)
        : separators_(separators), quotes_(quotes), escapes_(escapes), keepEmpty_(keepEmpty) {}

    template <typename InputIt, typename Token>
    bool operator()(InputIt& it, InputIt last, Token& token) const {
        bool inQuote = false;
        if (it == last) return false;
        if (!keepEmpty_) {
            while (it != last && isIn(separators_, *it)) ++it;
            if (it == last) return false;
        }
        string_type buffer;
        while (it != last) {
            CharT c = *it;
            if (isIn(quotes_, c)) {
                inQuote = !inQuote;
                ++it;
            } else if (!inQuote && isIn(separators_, c)) {
                ++it;
                break;
            } else if (isIn(escapes_, c)) {
                ++it;
                if (it == last) return false;
                buffer += *it;
                ++it;
            } else {
                buffer += c;
                ++it;
            }
        }
        if (!buffer.empty()) token = lexical_cast<Token>(buffer);
        return true;
    }

    void reset() {}

private:
    static bool isIn(const string_type& set, CharT c) { return set.find(c) != string_type::npos; }

    string_type separators_;
    string_type quotes_;
    string_type escapes_;
    bool keepEmpty_;
};

template <typename Container>
class container_accessor : private noncopyable {
public:
    typedef typename Container::value_type value_type;
    typedef typename Container::size_type size_type;
    typedef typename Container::const_iterator const_iterator;

    size_type size() const { return members_.size(); }
    bool empty() const { return members_.empty(); }
    const_iterator begin() const { return members_.begin(); }
    const_iterator end() const { return members_.end(); }

protected:
    container_accessor() {}
    Container members_;
};

template <typename Container>
class random_accessor : public container_accessor<Container> {
public:
    typedef typename container_accessor<Container>::value_type value_type;
    typedef typename container_accessor<Container>::size_type size_type;

    const value_type& at(size_type index) const {
        if (index >= this->members_.size()) throw std::out_of_range("index out of range");
        return this->members_[index];
    }
    const value_type& operator[](size_type index) const { return at(index); }
};

template <typename Separator, typename String = std::basic_string<char>,
          typename Container = std::vector<String>>
class basic_tokenizer : public random_accessor<Container> {
public:
    explicit basic_tokenizer(const Separator& separator = Separator()) : separator_(separator) {}
    basic_tokenizer(const String& text, const Separator& separator = Separator()) : separator_(separator) {
        assign(text);
    }

    bool assign(const String& text) {
        this->members_.clear();
        separator_.reset();
        typename String::const_iterator it = text.begin();
        typename String::const_iterator last = text.end();
        String token;
        while (separator_(it, last, token)) {
            this->members_.push_back(token);
            if (it == last) break;
            token = String();
        }
        return !this->members_.empty();
    }

private:
    Separator separator_;
};

// Command words: "--name" is the word name, "-abc" the words a, b and c; the
// plain arguments after a word are its values, those before the first word
// make the head.
template <typename CharT, typename Traits = std::char_traits<CharT>>
class basic_argument {
public:
    typedef std::basic_string<CharT, Traits> string_type;
    typedef std::vector<string_type> value_list;
    typedef std::vector<string_type> head_list;
    typedef std::map<string_type, value_list> option_map;

    explicit basic_argument(CharT prefix = CharT('-')) : prefix_(prefix) {}
    basic_argument(int argc, const CharT* const* argv, CharT prefix = CharT('-')) : prefix_(prefix) {
        parse(argc, argv);
    }
    virtual ~basic_argument() {}

    // A null vector or an argc below 1 gives an empty parser.
    basic_argument& parse(int argc, const CharT* const* argv) {
        program_.clear();
        head_.clear();
        options_.clear();
        if (!argv || argc < 1) return *this;
        if (argv[0]) program_ = argv[0];

        string_type key;
        bool optionSeen = false;
        for (int i = 1; i < argc; ++i) {
            string_type a = argv[i] ? string_type(argv[i]) : string_type();
            if (a.size() >= 2 && a[0] == prefix_ && !(a[1] >= CharT('0') && a[1] <= CharT('9'))) {
                optionSeen = true;
                if (a[1] == prefix_) {
                    typename string_type::size_type first = a.find_first_not_of(prefix_);
                    key = first == string_type::npos ? string_type() : a.substr(first);
                    add(key, string_type());
                } else {
                    for (typename string_type::size_type k = 1; k < a.size(); ++k) {
                        key = string_type(1, a[k]);
                        add(key, string_type());
                    }
                }
            } else {
                if (optionSeen && key.empty()) break;
                if (key.empty()) {
                    head_.push_back(a);
                } else {
                    add(key, a);
                }
            }
        }
        return *this;
    }
    basic_argument& parse(int argc, CharT* const* argv) {
        return parse(argc, const_cast<const CharT* const*>(argv));
    }

    basic_argument& add(const string_type& name, const string_type& value) {
        value_list& values = options_[name];
        if (!value.empty()) values.push_back(value);
        return *this;
    }

    bool has_option(const string_type& names) const {
        tokenizer_type names_list(names);
        for (const string_type& name : names_list) {
            if (options_.find(name) != options_.end()) return true;
        }
        return false;
    }

    template <typename ValueT>
    const basic_argument& get_option(const string_type& names, ValueT& out, unsigned index = 0) const {
        tokenizer_type names_list(names);
        for (const string_type& name : names_list) {
            typename option_map::const_iterator found = options_.find(name);
            if (found == options_.end() || found->second.size() <= index) continue;
            out = lexical_cast<ValueT>(found->second[index]);
        }
        return *this;
    }

    CharT prefix() const { return prefix_; }
    const string_type& program() const { return program_; }
    const head_list& head() const { return head_; }
    const option_map& options() const { return options_; }

private:
    typedef basic_tokenizer<escape_separator<CharT, Traits>, string_type, std::vector<string_type>> tokenizer_type;

    CharT prefix_;
    string_type program_;
    head_list head_;
    option_map options_;
};

typedef basic_argument<char> argument;
typedef basic_argument<wchar_t> wargument;

}  // namespace clx

// Parses a command line into the loader's command words (prefix '-'), leaving
// out every argument that is exactly "/restart": the elevated restart appends
// it, and a value-taking word given last must not take it as its value.
clx::basic_argument<wchar_t> readCommandWords(const std::wstring& commandLine);
