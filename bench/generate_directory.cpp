// vostrel-gen: writes a made-up but realistic city telephone directory, for the demo and for
// benchmarks. The same options always give the same file: the generator has its own random
// numbers, independent of the C++ library. Records are streamed to the writer one at a time,
// so a directory of millions of subscribers needs no more memory than one of ten.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/codepage.h"
#include "db/database_writer.h"
#include "db/file_system.h"

namespace {

const char kUsage[] =
    "Usage: vostrel-gen [--records N] [--seed S] [--title TEXT] [--stored] [--builtin] OUTPUT\n"
    "\n"
    "Writes a demo city directory of N subscribers (default 10000). The variant follows the\n"
    "extension of OUTPUT: .zdb and .fdb are gzip-compressed, anything else is a plain .db.\n"
    "  --seed S      another seed gives another directory (default 1)\n"
    "  --title TEXT  the database title (default \"Москва (демо)\"), cut to what the header\n"
    "                holds: 22 characters, 50 in an .fdb\n"
    "  --stored      write .zdb and .fdb uncompressed\n"
    "  --builtin     write an .fdb of version 11 (built-in fields) instead of version 12 with\n"
    "                its own field descriptors\n"
    "  --version     show the version and exit\n";

// splitmix64: small, fast and the same everywhere.
struct Random {
  uint64_t state;
};

uint64_t Next(Random* r) {
  uint64_t z = (r->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A number in 0..n-1 (n small: the bias of the modulo is far below anything visible).
uint32_t Below(Random* r, uint32_t n) { return static_cast<uint32_t>(Next(r) % n); }

// Surnames in their masculine form; the feminine form is derived.
const wchar_t* const kSurnames[] = {
    L"ИВАНОВ",     L"СМИРНОВ",    L"КУЗНЕЦОВ",   L"ПОПОВ",      L"ВАСИЛЬЕВ",   L"ПЕТРОВ",
    L"СОКОЛОВ",    L"МИХАЙЛОВ",   L"НОВИКОВ",    L"ФЕДОРОВ",    L"МОРОЗОВ",    L"ВОЛКОВ",
    L"АЛЕКСЕЕВ",   L"ЛЕБЕДЕВ",    L"СЕМЕНОВ",    L"ЕГОРОВ",     L"ПАВЛОВ",     L"КОЗЛОВ",
    L"СТЕПАНОВ",   L"НИКОЛАЕВ",   L"ОРЛОВ",      L"АНДРЕЕВ",    L"МАКАРОВ",    L"НИКИТИН",
    L"ЗАХАРОВ",    L"ЗАЙЦЕВ",     L"СОЛОВЬЕВ",   L"БОРИСОВ",    L"ЯКОВЛЕВ",    L"ГРИГОРЬЕВ",
    L"РОМАНОВ",    L"ВОРОБЬЕВ",   L"СЕРГЕЕВ",    L"КУЗЬМИН",    L"ФРОЛОВ",     L"АЛЕКСАНДРОВ",
    L"ДМИТРИЕВ",   L"КОРОЛЕВ",    L"ГУСЕВ",      L"КИСЕЛЕВ",    L"ИЛЬИН",      L"МАКСИМОВ",
    L"ПОЛЯКОВ",    L"СОРОКИН",    L"ВИНОГРАДОВ", L"КОВАЛЕВ",    L"БЕЛОВ",      L"МЕДВЕДЕВ",
    L"АНТОНОВ",    L"ТАРАСОВ",    L"ЖУКОВ",      L"БАРАНОВ",    L"ФИЛИППОВ",   L"КОМАРОВ",
    L"ДАВЫДОВ",    L"БЕЛЯЕВ",     L"ГЕРАСИМОВ",  L"БОГДАНОВ",   L"ОСИПОВ",     L"СИДОРОВ",
    L"МАТВЕЕВ",    L"ТИТОВ",      L"МАРКОВ",     L"МИРОНОВ",    L"КРЫЛОВ",     L"КУЛИКОВ",
    L"КАРПОВ",     L"ВЛАСОВ",     L"МЕЛЬНИКОВ",  L"ДЕНИСОВ",    L"ГАВРИЛОВ",   L"ТИХОНОВ",
    L"КАЗАКОВ",    L"АФАНАСЬЕВ",  L"ДАНИЛОВ",    L"САВЕЛЬЕВ",   L"ТИМОФЕЕВ",   L"ФОМИН",
    L"ЧЕРНОВ",     L"АБРАМОВ",    L"МАРТЫНОВ",   L"ЕФИМОВ",     L"ФЕДОТОВ",    L"ЩЕРБАКОВ",
    L"НАЗАРОВ",    L"КАЛИНИН",    L"ИСАЕВ",      L"ЧЕРНЫШЕВ",   L"БЫКОВ",      L"МАСЛОВ",
    L"РОДИОНОВ",   L"КОНОВАЛОВ",  L"ЛАЗАРЕВ",    L"ВОРОНИН",    L"КЛИМОВ",     L"ФИЛАТОВ",
    L"ПОНОМАРЕВ",  L"ГОЛУБЕВ",    L"КУДРЯВЦЕВ",  L"ПРОХОРОВ",   L"НАУМОВ",     L"ПОТАПОВ",
    L"ЖУРАВЛЕВ",   L"ОВЧИННИКОВ", L"ТРОФИМОВ",   L"ЛЕОНОВ",     L"СОБОЛЕВ",    L"ЕРМАКОВ",
    L"КОЛЕСНИКОВ", L"ГОНЧАРОВ",   L"ЕМЕЛЬЯНОВ",  L"НИКИФОРОВ",  L"ГРАЧЕВ",     L"КОТОВ",
    L"ГРИШИН",     L"ЕФРЕМОВ",    L"АРХИПОВ",    L"ГРОМОВ",     L"КИРИЛЛОВ",   L"МАЛЫШЕВ",
    L"ПАНОВ",      L"МОИСЕЕВ",    L"РУМЯНЦЕВ",   L"АКИМОВ",     L"КОНДРАТЬЕВ", L"БИРЮКОВ",
    L"ГОРБУНОВ",   L"АНИСИМОВ",   L"ЕРЕМИН",     L"ТИХОМИРОВ",  L"ГАЛКИН",     L"ЛУКЬЯНОВ",
    L"МИХЕЕВ",     L"СКВОРЦОВ",   L"ЮДИН",       L"БЕЛОУСОВ",   L"НЕСТЕРОВ",   L"СИМОНОВ",
    L"ПРОКОФЬЕВ",  L"ХАРИТОНОВ",  L"КНЯЗЕВ",     L"ЦВЕТКОВ",    L"ЛЕВИН",      L"МИТРОФАНОВ",
    L"ВОРОНЦОВ",   L"ГЛУШКОВ",    L"ЗИНОВЬЕВ",   L"ЛАВРЕНТЬЕВ", L"СУББОТИН",   L"РЯБОВ",
    L"ЖДАНОВ",     L"ПАНКРАТОВ",  L"ЛЫСЕНКО",    L"ШЕВЧЕНКО",   L"КОВАЛЬ",     L"КРАВЧЕНКО",
    L"БОНДАРЕНКО", L"ТКАЧЕНКО",   L"ЯСИНСКИЙ",   L"ВЫСОЦКИЙ",   L"ЗАГОРСКИЙ",  L"БЕЛИНСКИЙ",
    L"ОСТРОВСКИЙ", L"ГОРДЕЕВ",    L"ШУБИН",      L"ВИШНЯКОВ",   L"ЛОГИНОВ",    L"ЧИСТЯКОВ",
};

// The letters that first names and patronymics begin with, weighted by repetition.
const wchar_t kFirstInitials[] = L"ААААВВВГДДЕЕИИККЛЛМММННООППРССССТТЮЮЯЯЕАВ";
const wchar_t kFatherInitials[] = L"ААААВВВГДДЕИИИККЛММММННОППРССССФЮЯБГ";

const wchar_t* const kStreets[] = {
    L"ЛЕНИНСКИЙ ПР.",      L"САДОВАЯ УЛ.",       L"ТВЕРСКАЯ УЛ.",        L"МИРА ПР.",
    L"ГАГАРИНА УЛ.",       L"ПУШКИНСКАЯ УЛ.",    L"ЛЕСНАЯ УЛ.",          L"ШКОЛЬНАЯ УЛ.",
    L"СОВЕТСКАЯ УЛ.",      L"МОЛОДЕЖНАЯ УЛ.",    L"ЦЕНТРАЛЬНАЯ УЛ.",     L"НОВАЯ УЛ.",
    L"САДОВЫЙ ПЕР.",       L"ЛЕСНОЙ ПЕР.",       L"ТВЕРСКОЙ Б-Р",        L"ГОГОЛЕВСКИЙ Б-Р",
    L"КУТУЗОВСКИЙ ПР.",    L"ВЕРНАДСКОГО ПР.",   L"ПРОФСОЮЗНАЯ УЛ.",     L"ВАРШАВСКОЕ Ш.",
    L"КАШИРСКОЕ Ш.",       L"ЭНТУЗИАСТОВ Ш.",    L"КРАСНАЯ ПРЕСНЯ УЛ.",  L"АРБАТ УЛ.",
    L"ПОКРОВКА УЛ.",       L"МАРОСЕЙКА УЛ.",     L"ПЯТНИЦКАЯ УЛ.",       L"БОЛЬШАЯ ОРДЫНКА УЛ.",
    L"НОВОСЛОБОДСКАЯ УЛ.", L"ДМИТРОВСКОЕ Ш.",    L"ЯРОСЛАВСКАЯ УЛ.",     L"КОСМОНАВТОВ УЛ.",
    L"ВАВИЛОВА УЛ.",       L"ОСТРОВИТЯНОВА УЛ.", L"ПРОФСОЮЗНЫЙ ПР-Д",    L"РЕЧНОЙ ПР-Д",
    L"СМОЛЕНСКАЯ НАБ.",    L"ФРУНЗЕНСКАЯ НАБ.",  L"РАЧМАНИНОВА УЛ.",     L"ЧЕХОВА УЛ.",
    L"ЛЕРМОНТОВСКИЙ ПР.",  L"ЖУКОВА УЛ.",        L"ПОБЕДЫ ПЛ.",          L"КРАСНАЯ ПЛ.",
    L"ЗЕЛЕНАЯ УЛ.",        L"ПОЛЕВАЯ УЛ.",       L"СТРОИТЕЛЕЙ УЛ.",      L"ЗАВОДСКАЯ УЛ.",
    L"ВОКЗАЛЬНАЯ УЛ.",     L"НАБЕРЕЖНАЯ УЛ.",    L"ОКТЯБРЬСКАЯ УЛ.",     L"ПЕРВОМАЙСКАЯ УЛ.",
    L"КОМСОМОЛЬСКИЙ ПР.",  L"ЛОМОНОСОВСКИЙ ПР.", L"ВОЛГОГРАДСКИЙ ПР.",   L"РЯЗАНСКИЙ ПР.",
    L"ЩЕРБАКОВСКАЯ УЛ.",   L"ИЗМАЙЛОВСКИЙ Б-Р",  L"ПЕРВАЯ ПАРКОВАЯ УЛ.", L"ТРЕТЬЯ ПАРКОВАЯ УЛ.",
    L"ОЗЕРНАЯ УЛ.",        L"РАБОЧАЯ УЛ.",       L"ЮБИЛЕЙНАЯ УЛ.",       L"СИРЕНЕВЫЙ Б-Р",
};

const wchar_t kHouseLetters[] = L"АБВГ";

constexpr size_t kSurnameCount = sizeof kSurnames / sizeof kSurnames[0];
constexpr size_t kStreetCount = sizeof kStreets / sizeof kStreets[0];

// The Windows-1251 forms, converted once.
struct Tables {
  std::vector<std::string> surnames;  // masculine
  std::vector<std::string> feminine;
  std::vector<std::string> streets;
  std::string firstInitials, fatherInitials, houseLetters;
};

std::string ToCp1251(const wchar_t* text) {
  std::string out;
  if (!WideToSingleByteStrict(text, &out)) {
    fprintf(stderr, "vostrel-gen: a built-in word is not Windows-1251\n");
    exit(1);
  }
  return out;
}

std::string Feminine(const std::wstring& m) {
  auto ends = [&](const wchar_t* s) {
    const size_t n = wcslen(s);
    return m.size() >= n && m.compare(m.size() - n, n, s) == 0;
  };
  if (ends(L"СКИЙ")) return ToCp1251((m.substr(0, m.size() - 2) + L"АЯ").c_str());
  if (ends(L"ОВ") || ends(L"ЕВ") || ends(L"ИН") || ends(L"ЫН")) return ToCp1251((m + L"А").c_str());
  return ToCp1251(m.c_str());  // -ЕНКО, -АЛЬ and the like do not change
}

Tables MakeTables() {
  Tables t;
  for (const wchar_t* s : kSurnames) {
    t.surnames.push_back(ToCp1251(s));
    t.feminine.push_back(Feminine(s));
  }
  for (const wchar_t* s : kStreets) t.streets.push_back(ToCp1251(s));
  t.firstInitials = ToCp1251(kFirstInitials);
  t.fatherInitials = ToCp1251(kFatherInitials);
  t.houseLetters = ToCp1251(kHouseLetters);
  return t;
}

// Fills one subscriber. Phones run through 2000000..9999999 by a fixed stride that shares no
// factor with their range, so they do not repeat within eight million records.
void MakeRecord(const Tables& t, Random* r, uint64_t index, DatabaseRecord* record) {
  constexpr uint64_t kPhoneRange = 8000000, kPhoneStride = 2654437;  // odd, not a multiple of 5
  const uint64_t phone = 2000000 + (index * kPhoneStride + 1234567) % kPhoneRange;
  (*record)[0] = std::to_string(phone);

  const uint32_t s = Below(r, kSurnameCount);
  std::string& name = (*record)[1];
  name = Below(r, 2) ? t.surnames[s] : t.feminine[s];
  name += ' ';
  name += t.firstInitials[Below(r, static_cast<uint32_t>(t.firstInitials.size()))];
  name += '.';
  name += t.fatherInitials[Below(r, static_cast<uint32_t>(t.fatherInitials.size()))];
  name += '.';

  (*record)[2] = t.streets[Below(r, kStreetCount)];

  // Low house numbers are the common ones; some have a letter or a building number.
  std::string& house = (*record)[3];
  const uint32_t n = 1 + (Below(r, 3) == 0 ? Below(r, 180) : Below(r, 40));
  house = std::to_string(n);
  const uint32_t kind = Below(r, 100);
  if (kind < 14)
    house += t.houseLetters[Below(r, static_cast<uint32_t>(t.houseLetters.size()))];
  else if (kind < 22)
    house += "/" + std::to_string(1 + Below(r, 6));

  // About one subscriber in twelve lives in a private house without a flat.
  std::string& flat = (*record)[4];
  if (Below(r, 12) == 0)
    flat.clear();
  else
    flat = std::to_string(1 + Below(r, n > 100 ? 60 : 320));
}

bool EndsWithIgnoringCase(const std::wstring& s, const wchar_t* suffix) {
  const size_t n = wcslen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    wchar_t c = s[s.size() - n + i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

bool ParseCount(const std::string& text, uint64_t limit, uint64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > limit) return false;
  *out = v;
  return true;
}

// The stored schema of a version-12 .fdb: the five usual fields under Russian names.
std::vector<FieldDescriptor> StoredDescriptors() {
  std::vector<FieldDescriptor> fields(BuiltInSchema, BuiltInSchema + 5);
  const wchar_t* const names[] = {L"Телефон", L"Абонент", L"Улица", L"Дом", L"Кв."};
  for (size_t j = 0; j < fields.size(); ++j) {
    const std::string name = ToCp1251(names[j]);
    memset(fields[j].name, 0, sizeof fields[j].name);
    memcpy(fields[j].name, name.data(), name.size());
    fields[j].languageKey = 0;
  }
  return fields;
}

// What the command line asks for.
struct GenerateArguments {
  uint64_t records = 10000;
  uint64_t seed = 1;
  std::string title = ToCp1251(L"Москва (демо)");
  bool stored = false;
  bool builtin = false;
  std::string output;
};

// Reads the arguments; -1 when the program is to go on, else the exit code (after the help,
// the version, or what was wrong).
int ParseGenerateArguments(const std::vector<std::string>& args, GenerateArguments* given) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      // VOSTREL_VERSION is the build's project version, the one the package carries.
      fputs("vostrel-gen " VOSTREL_VERSION "\n", stdout);
      return 0;
    } else if (a == "--records" && hasValue) {
      if (!ParseCount(args[++i], INT32_MAX, &given->records)) {
        fprintf(stderr, "vostrel-gen: --records needs a number from 0 to %d\n", INT32_MAX);
        return 2;
      }
    } else if (a == "--seed" && hasValue) {
      if (!ParseCount(args[++i], UINT64_MAX / 10, &given->seed)) {
        fprintf(stderr, "vostrel-gen: --seed needs a non-negative number\n");
        return 2;
      }
    } else if (a == "--title" && hasValue) {
      if (!WideToSingleByteStrict(Utf8ToWide(args[++i]), &given->title)) {
        fprintf(stderr, "vostrel-gen: the title has characters that Windows-1251 cannot hold\n");
        return 2;
      }
    } else if (a == "--stored") {
      given->stored = true;
    } else if (a == "--builtin") {
      given->builtin = true;
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "vostrel-gen: unknown or incomplete option '%s'\n\n%s", a.c_str(), kUsage);
      return 2;
    } else if (given->output.empty()) {
      given->output = a;
    } else {
      fprintf(stderr, "vostrel-gen: more than one output file\n\n%s", kUsage);
      return 2;
    }
  }
  if (given->output.empty()) {
    fputs(kUsage, stderr);
    return 2;
  }
  return -1;
}

int Generate(const std::vector<std::string>& args) {
  GenerateArguments given;
  const int parsed = ParseGenerateArguments(args, &given);
  if (parsed >= 0) return parsed;
  const std::wstring path = Utf8ToWide(given.output);
  DatabaseWriterOptions options;
  options.variant = EndsWithIgnoringCase(path, L".fdb")   ? VariantFdb
                    : EndsWithIgnoringCase(path, L".zdb") ? VariantZdb
                                                          : VariantPlain;
  options.compress = !given.stored;
  options.title = given.title;
  options.numberWidth = 7;
  if (options.variant == VariantFdb && !given.builtin) {
    options.version = 12;
    options.descriptors = StoredDescriptors();
  }

  const Tables tables = MakeTables();
  Random random{given.seed * 0x2545F4914F6CDD1Dull + 0x1234567ull};
  DatabaseStreamWriter writer;
  std::string error;
  if (!BeginDatabaseFile(&writer, path.c_str(), options, &error)) {
    fprintf(stderr, "vostrel-gen: %s\n", error.c_str());
    return 1;
  }
  DatabaseRecord record(5);
  for (uint64_t i = 0; i < given.records; ++i) {
    MakeRecord(tables, &random, i, &record);
    if (!AppendDatabaseRecord(&writer, record, &error)) {
      fprintf(stderr, "vostrel-gen: %s\n", error.c_str());
      AbortDatabaseFile(&writer);
      return 1;
    }
  }
  if (!FinishDatabaseFile(&writer, &error)) {
    fprintf(stderr, "vostrel-gen: %s\n", error.c_str());
    return 1;
  }
  printf("vostrel-gen: %llu records written to %s\n",
         static_cast<unsigned long long>(given.records), given.output.c_str());
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
  return Generate(args);
}
#else
int main(int argc, char** argv) {
  return Generate(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
