#!/usr/bin/env python3
"""Writes the licence folder a release ships: the licence texts of what is
built into its binaries, taken from the very sources they were built from,
and NOTICE.txt with a line per component.

    notices.py OUT QT_PREFIX QT_FILES ARCHIVER_DIR ARCHIVER_FILE RUNTIME_FILES [LIBS_DIR]

QT_PREFIX and ARCHIVER_DIR are the builds of scripts/qt-windows and
scripts/7za-windows, each with a source/ folder holding the source package,
the patch and the licence texts (for Qt also the list of source files read
by the units built); LIBS_DIR, for the package tool's folder, is the build
of scripts/tool-libs-windows. The *_FILES arguments are the shipped file
names, comma separated."""
import json
import os
import re
import shutil
import subprocess
import sys

out, qt, qt_files, archiver, archiver_file, runtime_files = sys.argv[1:7]
libs = sys.argv[7] if len(sys.argv) > 7 else None


def package(name, field):
    return subprocess.run(['dpkg-query', '-W', '-f', '${' + field + '}', name],
                          check=True, capture_output=True, text=True).stdout


def source_package(folder):
    """Name and version from the .dsc in a build's source/ folder."""
    dsc = [f for f in sorted(os.listdir(folder)) if f.endswith('.dsc')]
    if len(dsc) != 1:
        sys.exit(f'{folder}: expected one source package, found {dsc}')
    with open(os.path.join(folder, dsc[0]), encoding='utf-8') as f:
        fields = dict(re.findall(r'^(Source|Version): (.+)$', f.read(), re.M))
    return fields['Source'], fields['Version'], dsc[0]


def source_package_of(folder, name):
    """Name, version and .dsc of source package `name` in a build's source/ folder."""
    for dsc in sorted(os.listdir(os.path.join(folder, 'source'))):
        if dsc.startswith(name + '_') and dsc.endswith('.dsc'):
            with open(os.path.join(folder, 'source', dsc), encoding='utf-8') as f:
                fields = dict(re.findall(r'^(Source|Version): (.+)$', f.read(), re.M))
            return fields['Source'], fields['Version'], dsc
    sys.exit(f'{folder}: no source package {name}')


def upstream(version):
    """The upstream release in a Debian version: 26.02 in 22.01+really26.02+dfsg-1, 1.2.13
    in 1:1.2.13.dfsg-1."""
    return re.sub(r'^.*really|^\d+:|[.+-]dfsg.*$|-[^-]*$', '', version)


def copy(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)


def listed(files):
    return ', '.join(files.split(','))


shutil.rmtree(out, ignore_errors=True)
lines = []

# Qt: its own licences, and each third-party part whose files the build read.
legal = os.path.join(qt, 'source', 'legal')
with open(os.path.join(qt, 'source', 'read'), encoding='utf-8') as f:
    read = set(f.read().split())
name, version, dsc = source_package(os.path.join(qt, 'source'))
release = upstream(version)
for text in ('LICENSE.LGPL3', 'LICENSE.GPL3'):
    copy(os.path.join(legal, text), os.path.join(out, 'qt', text))
copy(os.path.join(legal, 'debian', 'copyright'), os.path.join(out, 'qt', 'debian-copyright'))
where = f'sources/{dsc} and the files it names, with sources/qt-windows.patch'
lines.append(f'Qt Base | {release} ({name} {version}) | LGPL-3.0-only: qt/LICENSE.LGPL3, '
             f'qt/LICENSE.GPL3, qt/debian-copyright | {listed(qt_files)} | {where}')
parts = []
for folder, _, names in os.walk(legal):
    if 'qt_attribution.json' not in names:
        continue
    at = os.path.relpath(folder, legal)
    with open(os.path.join(folder, 'qt_attribution.json'), encoding='utf-8') as f:
        entries = json.loads(f.read(), strict=False)
    for entry in entries if isinstance(entries, list) else [entries]:
        files = [os.path.join(at, f) for f in re.split(r'[\s,]+', entry.get('Files', '')) if f]
        path = entry.get('Path')
        if files:
            built = any(f in read for f in files)
        elif path:
            # A file or a folder of its own.
            path = os.path.normpath(os.path.join(at, path))
            built = any(r == path or r.startswith(path + '/') for r in read)
        else:
            # Entries naming no files cover their folder; in Qt's own folders
            # that may be more than was built, which only adds a notice.
            built = any(r.startswith(at + '/') for r in read)
        if built:
            parts.append((at, entry))
for at, entry in sorted(parts, key=lambda p: p[1]['Id']):
    text = f"qt/third-party/{entry['Id']}.txt"
    os.makedirs(os.path.join(out, 'qt', 'third-party'), exist_ok=True)
    with open(os.path.join(out, text), 'w', encoding='utf-8', newline='\n') as f:
        f.write(f"{entry['Name']}\n")
        if entry.get('Version'):
            f.write(f"Version {entry['Version']}\n")
        f.write(f"{entry.get('Copyright', '').strip()}\n")
        if entry.get('LicenseFile'):
            with open(os.path.join(legal, at, entry['LicenseFile']), encoding='utf-8',
                      errors='replace') as licence:
                f.write('\n' + licence.read())
    lines.append(f"{entry['Name']} (in Qt Base, {at}) | {entry.get('Version', '-')} | "
                 f"{entry.get('LicenseId', entry.get('License', '-'))}: {text} | "
                 'built into the Qt DLLs | within Qt Base\'s source')

# The archiver.
legal = os.path.join(archiver, 'source', 'legal')
name, version, dsc = source_package(os.path.join(archiver, 'source'))
for text in ('License.txt', 'copying.txt'):
    copy(os.path.join(legal, 'DOC', text), os.path.join(out, '7-zip', text))
copy(os.path.join(legal, 'debian', 'copyright'), os.path.join(out, '7-zip', 'debian-copyright'))
release = upstream(version)
# Built for zips alone: none of the files License.txt puts under the BSD
# licences or the unRAR restriction (LZFSE, Zstandard, XXH64, RAR).
lines.append(f'7-Zip (7za, its zip reader alone) | {release} ({name} {version}) | '
             f'LGPL-2.1-or-later, with public-domain parts: '
             f'7-zip/License.txt, 7-zip/copying.txt, 7-zip/debian-copyright | '
             f'{archiver_file} | sources/{dsc} and the files it names, '
             f'with sources/7za-windows.patch')

# The package tool's libraries: zlib and libzip linked into it, nettle a DLL.
if libs:
    for name, title, texts, licence, shipped in (
            ('zlib', 'zlib', ['LICENSE'], 'Zlib', 'linked into updater-package.exe'),
            ('libzip', 'libzip', ['LICENSE'], 'BSD-3-Clause', 'linked into updater-package.exe'),
            ('nettle', 'Nettle', ['COPYING.LESSERv3', 'COPYINGv2'],
             'LGPL-3.0-or-later or GPL-2.0-or-later', 'libnettle-8.dll')):
        legal = os.path.join(libs, 'source', 'legal', name)
        copied = []
        for text in texts + ['debian/copyright']:
            target = os.path.join(name, text.replace('debian/', 'debian-'))
            copy(os.path.join(legal, text), os.path.join(out, target))
            copied.append(target)
        source, version, dsc = source_package_of(libs, name)
        lines.append(f'{title} | {upstream(version)} ({source} {version}) | {licence}: '
                     f'{", ".join(copied)} | {shipped} | sources/{dsc} and the files it names')

# The compiler's runtime, linked into every program and DLL.
for title, pkg, folder, licence in (
        ('GCC runtime (libstdc++, libgcc)', 'gcc-mingw-w64-x86-64-posix-runtime', 'gcc-runtime',
         'GPL-3.0-or-later WITH GCC-exception-3.1'),
        ('MinGW-w64 runtime (CRT start-up, winpthreads)', 'mingw-w64-x86-64-dev', 'mingw-w64',
         'ZPL-2.1, MIT and public domain')):
    copy(f'/usr/share/doc/{pkg}/copyright', os.path.join(out, folder, 'copyright'))
    lines.append(f"{title} | {package(pkg, 'Version')} ({package(pkg, 'source:Package')} "
                 f"{package(pkg, 'source:Version')}) | {licence}: {folder}/copyright | "
                 f'linked into {listed(runtime_files)} | Debian source package '
                 f"{package(pkg, 'source:Package')} {package(pkg, 'source:Version')}")

with open(os.path.join(out, 'NOTICE.txt'), 'w', encoding='utf-8', newline='\n') as f:
    f.write('Third-party components shipped in this folder, one per line:\n'
            'name | version (Debian source package and version) | licence: its texts, in this\n'
            'folder | shipped as | where its source is (sources/ is published beside\n'
            'this release).\n\n')
    f.write('\n'.join(lines) + '\n')
