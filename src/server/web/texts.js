// The page's texts: the language file's (/api/texts) where it has them, the page's own words
// for what the program never showed, and English defaults for both.
const OWN = {
  ENGLISH: {
    700: 'Search', 701: 'Result', 702: 'Setup', 703: 'About', 904: 'Bad db file  - %s',
    906: 'All installed db files - ok!', 908: 'Scaned: %i, results: %i', 915: 'Start',
    916: 'Stop', 1106: 'Reset', 1109: 'DB', 1305: 'Check',
    copy: 'Copy', csv: 'Export CSV', tsv: 'Export TSV', language: 'Language',
    databases: 'Databases', title: 'Title', records: 'Records', file: 'File',
    version: 'Version', licence: 'Licence', libraries: 'Libraries', details: 'Record %i',
    close: 'Close', select: 'Select row %i', selected: 'Selected', copied: 'Rows copied: %i',
    nothingSelected: 'Select rows first (Space or the boxes at the left)',
    stopped: 'Stopped', noDatabases: 'The server serves no database',
    loading: '…', sortedUp: 'sorted ascending', sortedDown: 'sorted descending',
    signIn: 'Sign in', password: 'Password', signOut: 'Sign out', quit: 'Quit Vostrel',
    wrongPassword: 'Wrong password', slowedDown: 'Too many wrong passwords: try again in %i s',
    ended: 'Vostrel has ended. You may close this tab.',
  },
  RUSSIAN: {
    copy: 'Копировать', csv: 'Экспорт CSV', tsv: 'Экспорт TSV', language: 'Язык',
    databases: 'Базы данных', title: 'Название', records: 'Записей', file: 'Файл',
    version: 'Версия', licence: 'Лицензия', libraries: 'Библиотеки', details: 'Запись %i',
    close: 'Закрыть', select: 'Выбрать строку %i', selected: 'Выбрано',
    copied: 'Скопировано строк: %i',
    nothingSelected: 'Сначала выберите строки (пробел или флажки слева)',
    stopped: 'Остановлено', noDatabases: 'Сервер не раздаёт ни одной базы',
    sortedUp: 'по возрастанию', sortedDown: 'по убыванию',
    signIn: 'Войти', password: 'Пароль', signOut: 'Выйти', quit: 'Закрыть Vostrel',
    wrongPassword: 'Неверный пароль', slowedDown: 'Слишком много неверных паролей: попробуйте через %i с',
    ended: 'Vostrel завершён. Вкладку можно закрыть.',
  },
};

// The browser's language codes and the language file's section names.
const SECTION_OF_CODE = {
  ru: 'RUSSIAN', en: 'ENGLISH', uk: 'UKRAINIAN', be: 'BELARUSIAN', de: 'GERMAN', fr: 'FRENCH',
};

let fileTexts = {};
let language = 'ENGLISH';

export function setTexts(name, texts) {
  language = name;
  fileTexts = texts || {};
}

export function currentLanguage() {
  return language;
}

export function text(key) {
  const k = String(key);
  if (fileTexts[k] !== undefined && fileTexts[k] !== '') return fileTexts[k];
  const own = OWN[language];
  if (own && own[k] !== undefined) return own[k];
  return OWN.ENGLISH[k] !== undefined ? OWN.ENGLISH[k] : '';
}

// The program's printf-like texts: each %i, %d or %s takes the next value; %% is a '%'.
export function format(template, ...values) {
  let next = 0;
  return template.replace(/%(%|[-+ #0-9.]*[idsu])/g, (match, what) => {
    if (what === '%') return '%';
    return next < values.length ? String(values[next++]) : '';
  });
}

// The section for a first visit: the first of the browser's languages the file has.
export function preferredSection(sections, browserLanguages) {
  for (const code of browserLanguages || []) {
    const name = SECTION_OF_CODE[String(code).toLowerCase().split('-')[0]];
    if (name && sections.includes(name)) return name;
  }
  if (sections.includes('ENGLISH')) return 'ENGLISH';
  return sections.length > 0 ? sections[0] : 'ENGLISH';
}

// The language's code for the page's lang attribute.
export function codeOfSection(name) {
  for (const [code, section] of Object.entries(SECTION_OF_CODE)) if (section === name) return code;
  return 'en';
}

// What an upper-case box makes of a typed letter, as the program's boxes do: Latin and
// Cyrillic small letters become capitals, everything else stays.
export function upperAsTyped(value) {
  let out = '';
  for (const ch of value) {
    const c = ch.codePointAt(0);
    if ((c >= 0x61 && c <= 0x7a) || (c >= 0x430 && c <= 0x44f)) out += String.fromCodePoint(c - 0x20);
    else if (c >= 0x450 && c <= 0x45f) out += String.fromCodePoint(c - 0x50);
    else if (c === 0x491) out += String.fromCodePoint(0x490);
    else out += ch;
  }
  return out;
}
