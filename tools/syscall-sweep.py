#!/usr/bin/env python3
"""Lists the system calls a confined helper makes, to keep the seccomp
filter's table of allowed calls complete.

Runs, each under strace -f: the test suite (the sandbox test without the
cases that make an exploit's attempts), every document the project has (the
sample, the fixtures, the fuzz seeds, the benchmark documents) through a
helper in mode 0 and, through pdfhelper-client, in mode 1 over both
transports, every packet seed sent to a serving helper, and the thumbnailer.
Of every process it counts only what comes after its seccomp filter was
loaded, and the threads such a process starts.

Prints each call with the arguments the filter looks at (fcntl's command,
prctl's option, ioctl's request), and the calls seen that the filter's table
in helper/sandbox_linux.cpp does not name. Exits 1 when there are such calls.

    tools/syscall-sweep.py [BUILD_DIR]          # build/ by default
"""

import collections
import glob
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# "1234  name(args...) = result", "1234  name(args <unfinished ...>",
# "1234  <... name resumed>args) = result"
LINE = re.compile(r'^(\d+)\s+(?:<\.\.\. (\w+) resumed>(.*)|(\w+)\((.*))$')
EXITED = re.compile(r'^(\d+)\s+\+\+\+ (?:exited|killed)')
RESULT = re.compile(r'\)\s+=\s+(-?\d+)')
# Calls whose first or second argument the filter compares.
ARGUMENT_OF = {'fcntl': 1, 'prctl': 0, 'ioctl': 1}


def confined_calls(log_path):
    confined = set()
    started = {}  # pid -> name of an unfinished call
    seen = collections.Counter()
    with open(log_path, errors='replace') as log:
        for line in log:
            ended = EXITED.match(line)
            if ended:
                # A number the kernel may give to a later, unconfined process.
                confined.discard(int(ended.group(1)))
                continue
            match = LINE.match(line.rstrip('\n'))
            if not match:
                continue
            pid = int(match.group(1))
            if match.group(2):
                name, args = match.group(2), match.group(3)
                args = started.pop(pid, ('', ''))[1] + args
            else:
                name, args = match.group(4), match.group(5)
                if args.endswith('<unfinished ...>'):
                    started[pid] = (name, args)
            if pid in confined:
                key = name
                if name in ARGUMENT_OF:
                    fields = [f.strip() for f in args.split(',')]
                    index = ARGUMENT_OF[name]
                    if len(fields) > index:
                        key = '%s(%s)' % (name, re.match(r'\w*', fields[index]).group(0))
                seen[key] += 1
                if name in ('clone', 'clone3', 'fork', 'vfork'):
                    result = RESULT.search(args)
                    if result and int(result.group(1)) > 0:
                        confined.add(int(result.group(1)))
            elif name == 'seccomp' and 'SECCOMP_SET_MODE_FILTER' in args and RESULT.search(args):
                if int(RESULT.search(args).group(1)) == 0:
                    confined.add(pid)
    return seen


def traced(log, command, **kwargs):
    kwargs.setdefault('stdout', subprocess.DEVNULL)
    kwargs.setdefault('stderr', subprocess.DEVNULL)
    kwargs.setdefault('timeout', 900)
    try:
        subprocess.run(['strace', '-f', '-qq', '-s', '0', '-o', log] + command, **kwargs)
    except subprocess.TimeoutExpired:
        print('timed out: %s' % ' '.join(command), file=sys.stderr)


def send_packets(helper, document, packets, log):
    """Plays the preview side: listens, starts a helper under strace and sends it the seed's bytes."""
    folder = tempfile.mkdtemp(prefix='sweep-')
    path = os.path.join(folder, 'server')
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    server.settimeout(20)
    process = subprocess.Popen(['strace', '-f', '-qq', '-s', '0', '-o', log, helper, '1', path, document],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        connection, _ = server.accept()
        connection.settimeout(2)
        connection.sendall(packets)
        deadline = time.time() + 5
        while time.time() < deadline:
            try:
                if not connection.recv(1 << 20):
                    break
            except socket.timeout:
                break
        connection.close()
        process.wait(timeout=20)
    except (socket.timeout, subprocess.TimeoutExpired, OSError):
        process.kill()
        process.wait()
    finally:
        server.close()
        os.unlink(path)
        os.rmdir(folder)


def table_names():
    """The call names the filter's table in the code gives."""
    source = open(os.path.join(HERE, 'helper', 'sandbox_linux.cpp')).read()
    begin = source.index('const AllowedCall AllowedCalls[]')
    end = source.index('};', begin)
    # And the calls given an answer of their own, as clone3's ENOSYS.
    answered = re.findall(r'filter\.rule\(SCMP_ACT_ERRNO\(\w+\), "(\w+)"\)', source)
    return set(re.findall(r'\{"(\w+)"', source[begin:end])) | set(answered)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, 'build'))
    helper = os.path.join(build, 'helper', 'pdfhelper')
    client = os.path.join(build, 'preview', 'pdfhelper-client')
    thumbnailer = os.path.join(build, 'preview', 'pdfhelper-thumbnailer')
    work = tempfile.mkdtemp(prefix='syscall-sweep-')
    logs = []

    def log(name):
        logs.append(os.path.join(work, name + '.log'))
        return logs[-1]

    print('the test suite...', file=sys.stderr)
    traced(log('suite'), ['ctest', '--test-dir', build, '-E', 'tst_sandbox', '--timeout', '600'])
    sandbox_test = os.path.join(build, 'tests', 'sandbox', 'tst_sandbox')
    traced(log('sandbox'), [sandbox_test, 'whatEachStageAllows', 'theScanOutputIsWrittenFromInside',
                            'systemFontsStayReachable', 'aServingHelperIsConfined'])

    documents = [os.path.join(HERE, 'samples', 'sample.pdf')]
    documents += sorted(glob.glob(os.path.join(build, 'fixtures', '*.pdf')))
    documents += sorted(glob.glob(os.path.join(HERE, 'fuzz', 'corpus', 'pdf', '*')))
    documents += sorted(glob.glob('/usr/share/doc/libtasn1-doc/*.pdf'))
    print('%d documents...' % len(documents), file=sys.stderr)
    for index, document in enumerate(documents):
        output = os.path.join(work, 'pages-%d.txt' % index)
        traced(log('scan-%d' % index), [helper, '0', output, document], timeout=60)
        for transport in ('shared', 'png'):
            traced(log('render-%s-%d' % (transport, index)),
                   [client, 'render', document, '--page', '0', '--size', '300x400', '--annotations',
                    '--transport', transport, '-o', os.path.join(work, 'page.png'), '--helper', helper], timeout=60)
        traced(log('outline-%d' % index), [client, 'outline', document, '--helper', helper], timeout=60)

    seeds = sorted(glob.glob(os.path.join(HERE, 'fuzz', 'corpus', 'packets', '*')))
    print('%d packet seeds...' % len(seeds), file=sys.stderr)
    for index, seed in enumerate(seeds):
        send_packets(helper, documents[0], open(seed, 'rb').read(), log('packets-%d' % index))

    traced(log('thumbnailer'), [thumbnailer, '-s', '256', documents[0], os.path.join(work, 'thumb.png'),
                                '--helper', helper])

    seen = collections.Counter()
    for path in logs:
        if os.path.exists(path):
            seen.update(confined_calls(path))
            os.unlink(path)
    for key, count in sorted(seen.items()):
        print('%-40s %d' % (key, count))
    names = {key.split('(')[0] for key in seen}
    missing = sorted(names - table_names())
    if missing:
        print('not in the filter\'s table: ' + ', '.join(missing))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
