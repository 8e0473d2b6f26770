#!/usr/bin/env python3
"""Writes the configuration-file corpus that the profile agreement test reads
(tests/vectors/ini/files/): the INI fuzz target's corpus (the file text each
input writes), hand-made cases, and generated files from a fixed seed, so the
corpus is the same on every run. Run it again after the fuzz corpus grows,
then rewrite the answers under Wine (see profile_agreement_test.cpp).

    python3 tests/ini/make_corpus.py
"""
import hashlib
import os
import random
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.join(ROOT, 'tests', 'vectors', 'ini', 'files')
FUZZ = os.path.join(ROOT, 'tests', 'fuzz', 'corpus', 'ini')
FUZZ_HEADER = 2       # selector and port byte before the file text
FUZZ_TEXT_LIMIT = 8192
SEED = 20261208
GENERATED = 400

ENDINGS = ['\n', '\r\n', '\r']
BLANKS = [' ', '\t', '\v', '\f', '\x1a']
KEYS = {'Config': ['CommProt', 'LockType', 'Sector'], 'SystemInfo': ['Pass']}
# Characters for UTF-8 and UTF-16 files: in code page 1252, best fit
# (U+0100 -> 'A', full-width digits -> digits), and none ('?').
WIDE = ['\u00e9', '\u20ac', '\u0100', '\uff12', '\uff14', '\u4e2d', '\U0001F600', '\u00a0', '\u2002', '\u0130']


def hand_made():
    files = {
        # The three files of the report that opened this work.
        'issue-spaced-section': '[ Config ]\nCommProt=2\nLockType=4\nSector=1\n[SystemInfo]\nPass=4B7E19D2\n',
        'issue-crlf-quoted': '[CONFIG]\r\nCommProt \t="2"\r\nLockType = 4\t\r\nsector =  1\r\n'
                             '[SystemInfo] ;x\r\nPASS=4B7E19\r\n',
        'issue-comments': '[Config] \n; comment\n CommProt = 2 ; note\nLockType  = 4\nSector \t=1 ;s\n'
                          '[SystemInfo] ;x\nPass =4B7E19D2',
        'empty': '',
        'blank-lines-only': ' \n\t\r\n\r\r\n\x1a\n',
        'no-section': 'CommProt=3\nLockType=4\nPass=11223344\n',
        'before-first-section': 'CommProt=3\n[Config]\nLockType=4\n',
        'duplicate-section': '[Config]\nCommProt=1\n[SystemInfo]\nPass=01020304\n[config]\nLockType=4\nCommProt=5\n'
                             '[SYSTEMINFO]\nPass=A1B2C3D4\n',
        'duplicate-key': '[Config]\nLockType=4\nLockType=2\nSector\nSector=7\nCommProt=\nCommProt=2\n',
        'quotes': '[Config]\nCommProt="2"\nLockType=\'4\'\nSector="1\n[SystemInfo]\nPass=""\n',
        'quote-fills-buffer': '[Config]\nCommProt="' + 'x' * 30 + '"\nLockType="' + 'y' * 31 + '"\n'
                              'Sector=\'' + 'z' * 32 + '\'\n[SystemInfo]\nPass="4B7E"\n',
        'long-values': '[Config]\nCommProt=' + '7' * 31 + '\nLockType=' + '4' * 32 + '\nSector=' + '1' * 5000 +
                       '\n[SystemInfo]\nPass=' + 'AB' * 40 + '\n',
        'comment-lines': '[Config]\n;CommProt=3\n#LockType=4\nSector=2 # two\n; [SystemInfo]\n'
                         '[SystemInfo]\n;Pass=00000000\nPass=4B7E19D2;x\n',
        'header-forms': '[Config\nCommProt=3\n[Config]]\nLockType=4\n[Config] trailing\nSector=9\n'
                        '  [SystemInfo]=1\nPass=12345678\n',
        'nul-bytes': '[Config\x00x]\nComm\x00Prot=3\nCommProt=2\x004\nLockType=\x00\nSector="5\x00"\n'
                     '[SystemInfo]\nPass\x00=1\nPass=4B\x007E19D2\n',
        'ctrl-z-blanks': '\x1a[\x1aConfig\x1a]\x1a\n\x1aCommProt\x1a=\x1a2\x1a\n\vLockType\f=\v4\f\n',
        'lines-without-equals': '[Config]\nCommProt\nLockType 4\nSector: 3\n[SystemInfo]\nPass\n',
    }
    data = {name: text.encode('latin-1') for name, text in files.items()}
    # More than any fixed buffer would hold before the keys: the reader must
    # walk the whole file.
    filler = ''.join('; line %d %s\r\n' % (i, 'x' * 60) for i in range(1500))
    data['large'] = (filler + '[Config]\r\nCommProt=2\r\nLockType=4\r\nSector=3\r\n[SystemInfo]\r\nPass=0A0B0C0D\r\n'
                     ).encode('latin-1')
    data['bom-only'] = b'\xef\xbb\xbf'
    data['utf16-mark-only'] = b'\xff\xfe'
    data['utf8'] = b'\xef\xbb\xbf' + '[Config]\nCommProt=\uff12\nLockType=\u0100\nSector=\u00e9\u20ac\u4e2d\n' \
        '[SystemInfo]\nPass=4B7E\U0001F600\n'.encode('utf-8')
    data['utf8-broken'] = b'\xef\xbb\xbf[Config]\nCommProt=2\xe2\x82\nLockType=4\xc0\xaf\xed\xa0\x80\n' \
        b'Sector=1\xf4\x90\x80\x80\n[SystemInfo]\nPass=4B7E\xe2A'
    data['utf16le'] = b'\xff\xfe' + '[ Config ]\r\nCommProt=2\r\nLockType="4"\r\n[SystemInfo]\r\nPass=\u00e9\u0100\r\n' \
        .encode('utf-16-le')
    data['utf16be'] = b'\xfe\xff' + '[Config]\nCommProt=\uff13\nLockType=4\n'.encode('utf-16-be')
    data['utf16-no-mark'] = '[Config]\nCommProt=2\n'.encode('utf-16-le')
    data['ansi-high-bytes'] = b'[Config]\nCommProt=\x80\x81\xa0\xe9\nLockType=\xff4\n\xa0Sector=3\n[SystemInfo]\nPass=\x9d\x8d\n'
    return data


def fuzz_files():
    data = {}
    for name in sorted(os.listdir(FUZZ)):
        with open(os.path.join(FUZZ, name), 'rb') as f:
            text = f.read()[FUZZ_HEADER:FUZZ_HEADER + FUZZ_TEXT_LIMIT]
        data['fuzz-' + name[:16]] = text
    return data


def case_variant(rng, name):
    pick = rng.random()
    if pick < 0.5:
        return name
    if pick < 0.65:
        return name.upper()
    if pick < 0.8:
        return name.lower()
    return ''.join(c.upper() if rng.random() < 0.5 else c.lower() for c in name)


def blanks(rng, most=2):
    return ''.join(rng.choice(BLANKS[:2] if rng.random() < 0.8 else BLANKS) for _ in range(rng.randint(0, most)))


def value_for(rng, key, wide):
    if key == 'Pass':
        v = ''.join(rng.choice('0123456789ABCDEFabcdefXZ') for _ in range(rng.choice([2, 6, 8, 8, 8, 9])))
    elif key == 'Sector':
        v = str(rng.randint(0, 40))
    else:
        v = str(rng.randint(0, 9))
    pick = rng.random()
    if pick < 0.08:
        v = ''
    elif pick < 0.16:
        v = v + rng.choice([' ; note', ';x', ' # c', '#', ' ;'])
    elif pick < 0.22:
        v = v * rng.randint(5, 12)
    elif pick < 0.26:
        v = rng.choice(['"', "'"]) + v.ljust(rng.choice([29, 30, 31, 32, 33]), 'q')
        v = v + (v[0] if rng.random() < 0.8 else '')
    elif pick < 0.30 and wide:
        v = v + ''.join(rng.choice(WIDE) for _ in range(rng.randint(1, 3)))
    elif pick < 0.34:
        v = v + '\x00' + rng.choice(['9', '', ' x'])
    if rng.random() < 0.25:
        q = rng.choice(['"', "'"])
        v = q + blanks(rng, 1) + v + blanks(rng, 1) + rng.choice([q, q, q, '"' if q == "'" else "'", ''])
    return v


def header(rng, section):
    name = case_variant(rng, section)
    pick = rng.random()
    if pick < 0.6:
        h = '[' + name + ']'
    elif pick < 0.75:
        h = '[' + blanks(rng) + name + blanks(rng) + ']'
    elif pick < 0.85:
        h = '[' + name + ']' + rng.choice([' ;x', '#', ' trailing', ']', '=1'])
    elif pick < 0.9:
        h = '[' + name  # no ']': a key line
    elif pick < 0.95:
        h = '[' + name + '\x00' + rng.choice(['', 'z', ' ']) + ']'
    else:
        h = '[' + name + ' x]'
    return blanks(rng, 1) + h + blanks(rng, 1)


def entry(rng, key, wide):
    name = case_variant(rng, key)
    pick = rng.random()
    if pick < 0.05:
        return blanks(rng) + name + blanks(rng)  # no '='
    if pick < 0.1:
        return rng.choice([';', '#', '; ']) + name + '=' + value_for(rng, key, wide)
    if pick < 0.13:
        name = name[:2] + '\x00' + name[2:] if rng.random() < 0.5 else name + '\x00' + rng.choice(['', 'x', ' '])
    return blanks(rng) + name + blanks(rng) + '=' + blanks(rng) + value_for(rng, key, wide) + blanks(rng)


def generated(rng, wide):
    lines = []
    if rng.random() < 0.1:
        lines.append(entry(rng, rng.choice(['CommProt', 'LockType']), wide))
    sections = ['Config', 'SystemInfo']
    if rng.random() < 0.3:
        sections.append(rng.choice(['Config', 'SystemInfo']))  # a duplicate section
    if rng.random() < 0.2:
        sections.insert(rng.randint(0, len(sections)), rng.choice(['Other', 'Config2', 'System']))
    rng.shuffle(sections)
    for section in sections:
        lines.append(header(rng, section))
        keys = list(KEYS.get(section, ['CommProt', 'Pass']))
        if rng.random() < 0.3:
            keys.append(rng.choice(keys))  # a duplicate key
        if rng.random() < 0.2:
            keys.append('Comment')
        rng.shuffle(keys)
        for key in keys:
            if key == 'Comment':
                lines.append(rng.choice(['; a comment', '# another', ';', '', '   ', 'just words']))
            else:
                lines.append(entry(rng, key, wide))
    endings = [rng.choice(ENDINGS)] if rng.random() < 0.6 else ENDINGS
    text = ''.join(line + rng.choice(endings) for line in lines)
    if rng.random() < 0.25:
        text = text.rstrip('\r\n')  # last line without an end
    if rng.random() < 0.05:
        text = text.replace('\n', '\n\n')
    return text


def generated_files():
    rng = random.Random(SEED)
    data = {}
    for i in range(GENERATED):
        pick = rng.random()
        if pick < 0.72:
            text = generated(rng, False)
            raw = text.encode('latin-1')
            if rng.random() < 0.1:
                raw = raw.replace(b'=', b'=' + bytes([rng.randint(0x80, 0xFF)]), 1)
        elif pick < 0.86:
            raw = b'\xef\xbb\xbf' + generated(rng, True).encode('utf-8', 'surrogatepass')
            if rng.random() < 0.3:
                cut = rng.randint(3, len(raw))
                raw = raw[:cut] + rng.choice([b'\xe2\x82', b'\xc0', b'\xed\xa0\x80', b'\xf0\x9f', b'\x80']) + raw[cut:]
        elif pick < 0.95:
            raw = b'\xff\xfe' + generated(rng, True).encode('utf-16-le')
        else:
            raw = b'\xfe\xff' + generated(rng, True).encode('utf-16-be')
        data['gen-%03d' % i] = raw
    return data


def main():
    if os.path.isdir(OUT):
        shutil.rmtree(OUT)
    os.makedirs(OUT)
    corpus = {}
    for part in (hand_made(), fuzz_files(), generated_files()):
        corpus.update(part)
    for name, raw in corpus.items():
        with open(os.path.join(OUT, name + '.ini'), 'wb') as f:
            f.write(raw)
    digest = hashlib.sha256(b''.join(corpus[n] for n in sorted(corpus))).hexdigest()[:16]
    print('%d files in %s (content %s)' % (len(corpus), os.path.relpath(OUT, ROOT), digest))


if __name__ == '__main__':
    main()
