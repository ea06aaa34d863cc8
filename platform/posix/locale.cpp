// locale.cpp: Windows locale ids for the POSIX locale settings of the thread, the user and the
// system, each of which an environment variable can fix.
#include <strings.h>

#include <fstream>

#include "platform/posix/internal.h"

namespace kx::plat::backend {
namespace {

constexpr Dword kEnglishUs = 0x0409;

struct LocaleId {
    std::string_view name;  // language_TERRITORY
    Dword lcid;
};

// The first entry of each language is its default when a name gives the language alone.
constexpr LocaleId kLocales[] = {
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409},
    {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07},
    {"de_LU", 0x1007}, {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
    {"fr_LU", 0x140C}, {"it_IT", 0x0410}, {"it_CH", 0x0810}, {"es_ES", 0x0C0A}, {"es_MX", 0x080A},
    {"es_AR", 0x2C0A}, {"es_CO", 0x240A}, {"es_CL", 0x340A}, {"pt_BR", 0x0416}, {"pt_PT", 0x0816},
    {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"sv_SE", 0x041D}, {"sv_FI", 0x081D}, {"da_DK", 0x0406},
    {"nb_NO", 0x0414}, {"no_NO", 0x0414}, {"nn_NO", 0x0814}, {"fi_FI", 0x040B}, {"is_IS", 0x040F},
    {"pl_PL", 0x0415}, {"cs_CZ", 0x0405}, {"sk_SK", 0x041B}, {"sl_SI", 0x0424}, {"hr_HR", 0x041A},
    {"hu_HU", 0x040E}, {"ro_RO", 0x0418}, {"bg_BG", 0x0402}, {"ru_RU", 0x0419}, {"uk_UA", 0x0422},
    {"el_GR", 0x0408}, {"tr_TR", 0x041F}, {"he_IL", 0x040D}, {"ar_SA", 0x0401}, {"ar_EG", 0x0C01},
    {"th_TH", 0x041E}, {"vi_VN", 0x042A}, {"id_ID", 0x0421}, {"hi_IN", 0x0439}, {"ja_JP", 0x0411},
    {"ko_KR", 0x0412}, {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004},
    {"ca_ES", 0x0403}, {"et_EE", 0x0425}, {"lv_LV", 0x0426}, {"lt_LT", 0x0427},
};

std::optional<Dword> Override(const char* variable) {
    std::optional<std::string> text = Env(variable);
    return text ? ParseNumber(*text) : std::nullopt;
}

// The first of the variables that is set and not empty.
std::string FirstSet(std::initializer_list<const char*> variables) {
    for (const char* variable : variables) {
        std::optional<std::string> value = Env(variable);
        if (value && !value->empty()) return *value;
    }
    return {};
}

}  // namespace

Dword LcidFromLocaleName(std::string_view name) {
    name = name.substr(0, name.find_first_of(".@"));  // codeset and modifier do not matter
    if (name.empty() || name == "C" || name == "POSIX") return kEnglishUs;
    std::string wanted(name);
    for (char& c : wanted) {
        if (c == '-') c = '_';
    }
    for (const LocaleId& locale : kLocales) {
        if (locale.name.size() == wanted.size() &&
            ::strncasecmp(locale.name.data(), wanted.data(), wanted.size()) == 0) {
            return locale.lcid;
        }
    }
    const std::string language = wanted.substr(0, wanted.find('_'));
    for (const LocaleId& locale : kLocales) {
        if (locale.name.size() > language.size() && locale.name[language.size()] == '_' &&
            ::strncasecmp(locale.name.data(), language.data(), language.size()) == 0) {
            return locale.lcid;
        }
    }
    return kEnglishUs;
}

std::optional<std::string> LangFromLocaleFile(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, 5, "LANG=") != 0) continue;
        std::string value = line.substr(start + 5);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return std::nullopt;
}

Dword GetThreadLocale() {
    if (std::optional<Dword> fixed = Override("VEL_THREAD_LCID")) return *fixed;
    return LcidFromLocaleName(FirstSet({"LC_ALL", "LC_MESSAGES", "LANG"}));
}

Dword GetUserDefaultLCID() {
    if (std::optional<Dword> fixed = Override("VEL_USER_LCID")) return *fixed;
    return LcidFromLocaleName(FirstSet({"LANG"}));
}

Dword GetSystemDefaultLCID() {
    if (std::optional<Dword> fixed = Override("VEL_SYSTEM_LCID")) return *fixed;
    for (const char* file : {"/etc/default/locale", "/etc/locale.conf"}) {
        if (std::optional<std::string> lang = LangFromLocaleFile(file)) {
            return LcidFromLocaleName(*lang);
        }
    }
    return kEnglishUs;
}

}  // namespace kx::plat::backend
