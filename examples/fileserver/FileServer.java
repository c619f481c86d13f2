package fileserver;

import com.velmar.server.boot.TalvoBoot;
import com.velmar.util.VelmarSystem;
import com.velmar.vfs.Syslog;
import java.io.File;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.lang.management.ManagementFactory;
import java.net.InetAddress;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ArrayBlockingQueue;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.BiConsumer;
import java.util.function.Consumer;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * A static HTTP/1.1 file server on libtalvo; {@code --help} lists the options.
 *
 * <pre>
 * java -Dtalvo.library=build/libtalvo.so -cp build/talvo.jar:build/talvo-examples.jar fileserver.FileServer [OPTION...]
 * </pre>
 */
public final class FileServer {
    /** Priority of an access line: LOG_INFO; the facility is the one the log was opened with. */
    private static final int LOG_INFO = 6;
    /** Where a daemon started by {@code --daemon} tells its starter how the start went (an environment variable). */
    private static final String REPORT = "FILESERVER_REPORT";

    static final class Options {
        String root = "examples/site";
        String addr = "127.0.0.1";
        int port = 8080;
        String transport = "native";
        int readTimeoutMs = 20000;
        int writeTimeoutMs = 5000;
        int headTimeoutMs = 5000;
        int acceptors = 2;
        int loops = Math.max(1, Runtime.getRuntime().availableProcessors());
        int workers = 256;
        int queue = 1024;
        int maxConnections = 10000;
        int backlog = 1024;
        boolean log;
        /** Serve and list names that start with a dot (hidden by default). */
        boolean dotfiles;
        boolean daemon;
        boolean help;
        String user;
        String group;
        String pidFile;
        final List<String> forDaemon = new ArrayList<>();

        /** An option: its name, the name of its value (null for a flag), what it does, and where it goes. */
        private record Option(String name, String value, String help, BiConsumer<Options, String> set) {}

        private static final List<Option> OPTIONS = List.of(
            new Option("--root", "DIR", "directory to serve (examples/site)", (o, v) -> o.root = v),
            new Option("--addr", "A", "numeric IPv4 or IPv6 address to listen on (127.0.0.1)", (o, v) -> o.addr = address(v)),
            new Option("--port", "N", "TCP port, 1 to 65535 (8080)", (o, v) -> o.port = number("--port", v, 1, 65535)),
            new Option("--transport", "T", "native (libtalvo) or jdk (the JDK's own NIO and files)",
                (o, v) -> o.transport = oneOf("--transport", v, "native", "jdk")),
            new Option("--read-timeout", "MS", "closes a connection idle for that long (20000)",
                (o, v) -> o.readTimeoutMs = number("--read-timeout", v, 1, Integer.MAX_VALUE)),
            new Option("--head-timeout", "MS", "closes a connection whose request head takes longer (5000)",
                (o, v) -> o.headTimeoutMs = number("--head-timeout", v, 1, Integer.MAX_VALUE)),
            new Option("--write-timeout", "MS", "closes a connection that does not read an answer for that long (5000)",
                (o, v) -> o.writeTimeoutMs = number("--write-timeout", v, 1, Integer.MAX_VALUE)),
            new Option("--workers", "N", "most threads doing what could wait: opens, listings, slow sends (256)",
                (o, v) -> o.workers = number("--workers", v, 1, 100000)),
            new Option("--queue", "N", "connections waiting for a worker before others get 503 (1024)",
                (o, v) -> o.queue = number("--queue", v, 1, 1 << 20)),
            new Option("--max-connections", "N", "open connections before new ones get 503 (10000)",
                (o, v) -> o.maxConnections = number("--max-connections", v, 1, 1 << 20)),
            new Option("--acceptors", "N", "threads accepting connections, 1 to 16 (2)",
                (o, v) -> o.acceptors = number("--acceptors", v, 1, 16)),
            new Option("--loops", "N", "select loops, 1 to 64 (one per processor)",
                (o, v) -> o.loops = number("--loops", v, 1, 64)),
            new Option("--backlog", "N", "listen backlog (1024)", (o, v) -> o.backlog = number("--backlog", v, 1, 65535)),
            new Option("--log", null, "an access line per request to the system log", (o, v) -> o.log = true),
            new Option("--dotfiles", null, "serve and list names that start with a dot (404 otherwise)",
                (o, v) -> o.dotfiles = true),
            new Option("--user", "NAME", "leave the superuser for this account after binding", (o, v) -> o.user = v),
            new Option("--group", "NAME", "with --user: this group (or this account's group) instead of the user's",
                (o, v) -> o.group = v),
            new Option("--daemon", null, "start in the background, detached, and return once it serves",
                (o, v) -> o.daemon = true),
            new Option("--pid-file", "FILE", "write the process id there; removed at stop",
                (o, v) -> o.pidFile = new File(v).getAbsolutePath()),
            new Option("--help", null, "print this text", (o, v) -> o.help = true));

        static String usage() {
            StringBuilder b = new StringBuilder("usage: fileserver.FileServer [OPTION...]\n");
            for (Option s : OPTIONS) {
                String left = s.name + (s.value != null ? " " + s.value : "");
                b.append(String.format("  %-22s %s%n", left, s.help));
            }
            return b.toString();
        }

        static Options parse(String[] args) {
            Options o = new Options();
            for (int i = 0; i < args.length; i++) {
                String a = args[i];
                String value = null;
                int eq = a.indexOf('=');
                if (a.startsWith("--") && eq > 0) {
                    value = a.substring(eq + 1);
                    a = a.substring(0, eq);
                }
                String name = a;
                Option option = OPTIONS.stream().filter(s -> s.name.equals(name)).findFirst()
                    .orElseThrow(() -> new IllegalArgumentException("unknown option " + name + " (--help lists them)"));
                if (option.value == null && value != null) throw new IllegalArgumentException(a + " takes no value");
                if (option.value != null && value == null) {
                    if (i + 1 >= args.length) throw new IllegalArgumentException(a + " needs a value: " + option.value);
                    value = args[++i];
                }
                option.set.accept(o, value);
                if (a.equals("--daemon")) continue;
                o.forDaemon.add(a);
                if (option.value != null) o.forDaemon.add(a.equals("--root") ? new File(value).getAbsolutePath()
                    : a.equals("--pid-file") ? o.pidFile : value);
            }
            if (o.group != null && o.user == null) throw new IllegalArgumentException("--group needs --user");
            return o;
        }

        private static int number(String option, String text, int min, int max) {
            try {
                int n = Integer.parseInt(text.trim());
                if (n >= min && n <= max) return n;
            } catch (NumberFormatException e) {
                // said below
            }
            throw new IllegalArgumentException(option + " '" + text + "': a whole number from " + min + " to " + max
                + " is needed");
        }

        private static String oneOf(String option, String text, String... allowed) {
            if (Arrays.asList(allowed).contains(text)) return text;
            throw new IllegalArgumentException(option + " '" + text + "': one of " + String.join(", ", allowed));
        }

        private static final String OCTET = "(25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)";
        private static final Pattern IPV4 = Pattern.compile(OCTET + "(\\." + OCTET + "){3}");

        /** The text itself when it is a numeric address; no name is ever looked up. */
        private static String address(String text) {
            if (IPV4.matcher(text).matches()) return text;
            if (text.indexOf(':') >= 0) {
                try {
                    InetAddress.getByName(text); // with a colon the JDK parses an IPv6 literal and never looks it up
                    return text;
                } catch (IOException e) {
                    // said below
                }
            }
            throw new IllegalArgumentException("--addr '" + text + "': a numeric IPv4 or IPv6 address is needed"
                + " (such as 127.0.0.1 or ::1), not a host name");
        }
    }

    private FileServer() {}

    /** The starter's report file, opened before the user switch can take the right to. */
    private static java.io.OutputStream reportTo;

    public static void main(String[] args) throws Exception {
        String reportFile = System.getenv(REPORT);
        if (reportFile != null) {
            reportTo = Files.newOutputStream(Path.of(reportFile), StandardOpenOption.APPEND);
            report("pid " + ProcessHandle.current().pid());
        }
        Options o;
        try {
            o = Options.parse(args);
        } catch (IllegalArgumentException e) {
            throw fail(2, e.getMessage());
        }
        if (o.help) {
            System.out.print(Options.usage());
            return;
        }
        if (o.daemon) System.exit(relaunch(o));
        String root;
        try {
            root = new File(o.root).getCanonicalPath();
        } catch (IOException e) {
            root = null;
        }
        if (root == null || !new File(root).isDirectory()) throw fail(2, "no directory " + o.root);
        int uid = -1;
        int gid = -1;
        if (o.user != null) {
            // The group the switch takes: a group of that name, else that account's own group.
            String g = o.group != null ? o.group : o.user;
            String[] named = getent("group", g);
            String[] account = named == null ? getent("passwd", g) : null;
            String[] user = getent("passwd", o.user);
            if (user == null) throw fail(2, "--user " + o.user + ": no such account");
            uid = Integer.parseInt(user[2]);
            if (named == null && account == null) throw fail(2, "--group " + g + ": names neither a group nor an account");
            gid = Integer.parseInt(named != null ? named[2] : account[3]);
            // The switch never keeps the superuser's group: it would take another, and the check after it would fail.
            if (gid == 0 && uid != 0) {
                throw fail(2, (o.group != null ? "--group " : "--user ") + g
                    + ": group 0 is the superuser's, never kept once the superuser is left");
            }
        }
        Consumer<String> log = o.log ? accessLog() : null;
        Server server = o.transport.equals("jdk") ? new JdkServer(o, root, log) : new NativeServer(o, root, log);
        int port;
        try {
            port = server.bind();
        } catch (IOException e) {
            throw fail(1, e.getMessage());
        }
        try {
            // Every thread of the server is made now, so that a limit on the threads of the account
            // switched to can only ever refuse workers; none of them serves before the switch.
            server.start();
            // Before leaving the superuser: the file's directory may be writable by root only.
            if (o.pidFile != null) writePidFile(Path.of(o.pidFile), o.user != null);
        } catch (IOException e) {
            server.stop();
            throw fail(1, o.pidFile != null ? "cannot write the pid file " + o.pidFile + ": " + e.getMessage() : e.getMessage());
        }
        // Nothing serves yet: a failed switch never answers a request with the superuser's rights.
        String problem = o.user == null ? null : leaveSuperuser(o.user, o.group != null ? o.group : o.user, uid, gid);
        if (problem != null) {
            server.stop();
            removePidFile(o);
            throw fail(1, problem);
        }
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            server.stop();
            removePidFile(o);
            System.out.println("fileserver: stopped");
        }));
        server.serve();
        String host = o.addr.indexOf(':') >= 0 ? "[" + o.addr + "]" : o.addr;
        String serving = "fileserver: serving " + root + " at http://" + host + ":" + port + "/ (" + o.transport
            + " transport); Ctrl-C stops it";
        System.out.println(serving);
        report(serving);
        server.await();
    }

    /** The reason on standard error (and to the starter of a daemon), then the exit; thrown only for the compiler. */
    private static Error fail(int status, String reason) {
        System.err.println("fileserver: " + reason);
        report("fileserver: " + reason);
        System.exit(status);
        return new AssertionError("exit returned");
    }

    private static void report(String line) {
        if (reportTo == null) return;
        try {
            reportTo.write((line + "\n").getBytes(StandardCharsets.UTF_8));
            reportTo.flush();
        } catch (IOException e) {
            // the starter gave up waiting
        }
    }

    /**
     * Writes the process id to a new file: never through a link, nor into a file
     * that is there (a stale regular file is replaced). A server that leaves the
     * superuser cannot remove it from a directory of root's: a small process that
     * keeps root's rights removes it when the server's end closes its pipe.
     */
    private static void writePidFile(Path p, boolean leaving) throws IOException {
        byte[] pid = (ProcessHandle.current().pid() + "\n").getBytes(StandardCharsets.US_ASCII);
        if (Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS)) Files.delete(p);
        try { // CREATE_NEW: created here or not at all, and a link in the way fails it
            Files.write(p, pid, StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS);
        } catch (FileAlreadyExistsException e) {
            throw new IOException("something that is not a regular file is there (a link?)", e);
        }
        if (!leaving) return;
        pidFileKeeper = new ProcessBuilder("/bin/sh", "-c", "trap '' INT HUP TERM; cat >/dev/null;"
                + " [ \"$(cat -- \"$1\" 2>/dev/null)\" = \"$2\" ] && rm -f -- \"$1\"",
            "sh", p.toString(), Long.toString(ProcessHandle.current().pid()))
            .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(ProcessBuilder.Redirect.DISCARD).start();
    }

    /** With --user: the process that removes the pid file once this one has ended (see writePidFile). */
    private static Process pidFileKeeper;

    private static void removePidFile(Options o) {
        if (pidFileKeeper != null) { // its turn now, so that the file is gone once this process is
            try {
                pidFileKeeper.getOutputStream().close();
                pidFileKeeper.waitFor(2, java.util.concurrent.TimeUnit.SECONDS);
            } catch (IOException | InterruptedException e) {
                // it removes the file when this process ends
            }
            return;
        }
        if (o.pidFile == null) return;
        try {
            Path p = Path.of(o.pidFile);
            if (Files.readString(p).trim().equals(Long.toString(ProcessHandle.current().pid()))) Files.delete(p);
        } catch (IOException e) {
            System.err.println("fileserver: cannot remove " + o.pidFile + ": " + e.getMessage());
        }
    }

    /** The system log, or standard error with one warning when the machine has no system log socket. */
    private static Consumer<String> accessLog() {
        Consumer<String> out;
        if (!Files.exists(Path.of("/dev/log"))) {
            System.err.println("fileserver: warning: no system log (/dev/log); access lines go to standard error");
            out = System.err::println;
        } else {
            Syslog syslog = new Syslog();
            syslog.nativeOpenSyslog();
            out = line -> syslog.nativeSyslog(LOG_INFO, line);
        }
        // Written by a thread of its own: a log that does not take its lines must not hold a select loop.
        // When it has fallen this far behind, lines are dropped and counted.
        BlockingQueue<String> lines = new ArrayBlockingQueue<>(8192);
        AtomicLong dropped = new AtomicLong();
        Server.daemon(() -> {
            try {
                while (true) {
                    out.accept(lines.take());
                    long n = dropped.getAndSet(0);
                    if (n > 0) out.accept("fileserver: " + n + " access lines dropped: the log fell behind");
                }
            } catch (InterruptedException e) {
                // the end
            }
        }, "log").start();
        return line -> {
            if (!lines.offer(line)) dropped.incrementAndGet();
        };
    }

    /** The fields of the account database's entry for the key (getent), or null when there is none. */
    private static String[] getent(String database, String key) {
        try {
            Process p = new ProcessBuilder("getent", database, key).redirectErrorStream(true).start();
            String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
            return p.waitFor() == 0 && !out.isEmpty() ? out.split("\n")[0].split(":", -1) : null;
        } catch (IOException e) {
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
    }

    /**
     * Takes on the ids of the account and the group; null when the process then
     * runs as exactly those (no superuser group left behind), else the reason.
     */
    private static String leaveSuperuser(String user, String group, int uid, int gid) {
        if (new VelmarSystem().setUserNative(user, group) < 0) return "--user " + user + ": no such account";
        String uids = status("Uid");
        String gids = status("Gid");
        String groups = status("Groups");
        boolean uidOk = uids.matches("(" + uid + " ){3}" + uid);
        boolean gidOk = gids.matches("(" + gid + " ){3}" + gid);
        boolean groupsOk = gid == 0 || uid == 0 || !(" " + groups + " ").contains(" 0 ");
        if (uidOk && gidOk && groupsOk) return null;
        return "--user " + user + ": the process runs with uids " + uids + ", gids " + gids + ", groups [" + groups
            + "], not uid " + uid + " and gid " + gid + (uidOk ? "" : " (switching needs the superuser)");
    }

    /** A line of /proc/self/status after its name, blanks made single. */
    private static String status(String name) {
        try (Stream<String> lines = Files.lines(Path.of("/proc/self/status"))) {
            return lines.filter(l -> l.startsWith(name + ":")).findFirst()
                .map(l -> l.substring(name.length() + 1).trim().replaceAll("\\s+", " ")).orElse("?");
        } catch (IOException | UncheckedIOException e) {
            return "?";
        }
    }

    /**
     * Starts this same server, without --daemon, as a detached process with no
     * terminal, and waits until it serves or says why it cannot: 0 or 1.
     */
    private static int relaunch(Options o) throws IOException, InterruptedException {
        Path dir = Files.createTempDirectory("fileserver"); // private: 0700
        Path report = Files.createFile(dir.resolve("report"));
        try {
            // The daemon's standard streams would otherwise hold the caller's terminal or pipe.
            List<String> argv = new ArrayList<>(List.of("/bin/sh", "-c", "exec \"$0\" \"$@\" </dev/null >/dev/null 2>&1",
                ProcessHandle.current().info().command().orElse(System.getProperty("java.home") + "/bin/java")));
            argv.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
            String classPath = Arrays.stream(System.getProperty("java.class.path").split(File.pathSeparator))
                .map(p -> new File(p).getAbsolutePath()).collect(Collectors.joining(File.pathSeparator));
            argv.addAll(List.of("-cp", classPath, FileServer.class.getName()));
            argv.addAll(o.forDaemon);
            Map<String, String> env = new HashMap<>(System.getenv());
            env.put(REPORT, report.toString());
            String[] envp = env.entrySet().stream().map(e -> e.getKey() + "=" + e.getValue()).toArray(String[]::new);
            new TalvoBoot().execDaemon(argv.toArray(new String[0]), envp, System.getProperty("user.dir"));
            // A JVM starting on a busy machine: give it time, but not for ever.
            long pid = -1;
            for (int i = 0; i < 600; i++) {
                for (String said : Files.readAllLines(report)) {
                    if (said.startsWith("pid ")) pid = Long.parseLong(said.substring(4));
                    if (said.startsWith("fileserver: serving")) {
                        System.out.println("fileserver: started in the background: " + said.substring(12)
                            + (o.pidFile != null ? "; its process id is in " + o.pidFile : ""));
                        return 0;
                    }
                    if (said.startsWith("fileserver: ")) {
                        System.err.println(said);
                        return 1;
                    }
                }
                if (pid > 0 && ProcessHandle.of(pid).map(ProcessHandle::isAlive).orElse(false) == false
                        && Files.readAllLines(report).stream().noneMatch(l -> l.startsWith("fileserver: "))) {
                    System.err.println("fileserver: the background server ended before it served");
                    return 1;
                }
                Thread.sleep(50);
            }
            System.err.println("fileserver: the background server did not report within 30 s");
            return 1;
        } finally {
            Files.deleteIfExists(report);
            Files.deleteIfExists(dir);
        }
    }
}
