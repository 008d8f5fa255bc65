#!/usr/bin/env python3
"""Reads the JUnit file ctest wrote (--output-junit) and prints what it says
in a few words: "passed, N tests", "FAILED, F of N tests failed", or
"passed, 0 tests (none matched)"; exits 1 when the file is missing or
unreadable (ctest ended before it wrote one).

    junit_summary.py RESULTS.xml
"""
import sys
import xml.etree.ElementTree as ElementTree

try:
    root = ElementTree.parse(sys.argv[1]).getroot()
except (OSError, ElementTree.ParseError) as error:
    print(f'FAILED, no results ({error})')
    sys.exit(1)
total = failed = 0
for case in root.iter('testcase'):
    total += 1
    if case.find('failure') is not None or case.find('error') is not None or case.get('status') == 'fail':
        failed += 1
if total == 0:
    print('passed, 0 tests (none matched)')
elif failed:
    print(f'FAILED, {failed} of {total} tests failed')
else:
    print(f'passed, {total} tests')
