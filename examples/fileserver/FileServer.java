package fileserver;

import com.velmar.server.boot.TalvoBoot;
import com.velmar.util.VelmarSystem;
import com.velmar.vfs.Syslog;
import java.io.File;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A static HTTP/1.1 file server on libtalvo.
 *
 * <pre>
 * java -Dtalvo.library=build/libtalvo.so -cp build/talvo.jar:build/talvo-examples.jar \
 *      fileserver.FileServer [--root DIR] [--addr A] [--port N] [--transport=native|jdk]
 *      [--read-timeout MS] [--write-timeout MS] [--acceptors N] [--loops N] [--backlog N]
 *      [--log] [--dotfiles] [--user NAME [--group NAME]] [--daemon] [--pid-file FILE]
 * </pre>
 */
public final class FileServer {
    /** Priority of an access line: LOG_INFO; the facility is the one the log was opened with. */
    private static final int LOG_INFO = 6;

    /** Starts, serves until stopped, and stops. */
    interface Server {
        /** Binds and starts the threads; returns the port. */
        int start() throws IOException;

        void stop();

        void await() throws InterruptedException;
    }

    static final class Options {
        String root = "examples/site";
        String addr = "127.0.0.1";
        int port = 8080;
        String transport = "native";
        int readTimeoutMs = 20000;
        int writeTimeoutMs = 5000;
        int acceptors = 2;
        int loops = Math.max(1, Runtime.getRuntime().availableProcessors());
        int backlog = 1024;
        boolean log;
        /** Serve and list names that start with a dot (hidden by default). */
        boolean dotfiles;
        boolean daemon;
        String user;
        String group;
        String pidFile;
        final List<String> forDaemon = new ArrayList<>();

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
                boolean flag = a.equals("--log") || a.equals("--daemon") || a.equals("--dotfiles");
                if (!flag && value == null) {
                    if (i + 1 >= args.length) throw new IllegalArgumentException(a + " needs a value");
                    value = args[++i];
                }
                switch (a) {
                    case "--root" -> o.root = value;
                    case "--addr" -> o.addr = value;
                    case "--port" -> o.port = Integer.parseInt(value);
                    case "--transport" -> o.transport = value;
                    case "--read-timeout" -> o.readTimeoutMs = Integer.parseInt(value);
                    case "--write-timeout" -> o.writeTimeoutMs = Integer.parseInt(value);
                    case "--acceptors" -> o.acceptors = Integer.parseInt(value);
                    case "--loops" -> o.loops = Integer.parseInt(value);
                    case "--backlog" -> o.backlog = Integer.parseInt(value);
                    case "--user" -> o.user = value;
                    case "--group" -> o.group = value;
                    case "--pid-file" -> o.pidFile = new File(value).getAbsolutePath();
                    case "--log" -> o.log = true;
                    case "--dotfiles" -> o.dotfiles = true;
                    case "--daemon" -> o.daemon = true;
                    default -> throw new IllegalArgumentException("unknown option " + a);
                }
                if (a.equals("--daemon")) continue;
                o.forDaemon.add(a);
                if (!flag) o.forDaemon.add(a.equals("--root") ? new File(value).getAbsolutePath()
                    : a.equals("--pid-file") ? o.pidFile : value);
            }
            if (!o.transport.equals("native") && !o.transport.equals("jdk")) {
                throw new IllegalArgumentException("--transport is native or jdk");
            }
            if (o.port <= 0 || o.port > 65535) throw new IllegalArgumentException("--port is 1 to 65535");
            if (o.acceptors < 1 || o.acceptors > 16) throw new IllegalArgumentException("--acceptors is 1 to 16");
            if (o.loops < 1 || o.loops > 64) throw new IllegalArgumentException("--loops is 1 to 64");
            if (o.group != null && o.user == null) throw new IllegalArgumentException("--group needs --user");
            return o;
        }
    }

    /** Bounds of the drain before an early close (see {@link Conn#drain}). */
    static final int DRAIN_LIMIT = 1 << 20;
    static final int DRAIN_PAUSE_MS = 100;
    static final long DRAIN_MS = 2000;

    private FileServer() {}

    static Thread daemon(Runnable r, String name) {
        Thread t = new Thread(r, name);
        t.setDaemon(true);
        return t;
    }

    /** Threads for connections while they have work; they end after a minute without. */
    static ExecutorService workers() {
        AtomicInteger n = new AtomicInteger();
        return Executors.newCachedThreadPool(r -> daemon(r, "worker-" + n.incrementAndGet()));
    }

    /** A short pause after a failed accept, so that a lasting failure does not spin. */
    static void pause() {
        try {
            Thread.sleep(10);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    public static void main(String[] args) throws Exception {
        Options o;
        try {
            o = Options.parse(args);
        } catch (IllegalArgumentException e) {
            System.err.println("fileserver: " + e.getMessage());
            System.exit(2);
            return;
        }
        if (o.daemon) {
            relaunch(o);
            return;
        }
        String root;
        try {
            root = new File(o.root).getCanonicalPath();
        } catch (IOException e) {
            root = null;
        }
        if (root == null || !new File(root).isDirectory()) {
            System.err.println("fileserver: no directory " + o.root);
            System.exit(2);
            return;
        }
        HttpSession.AccessLog log = null;
        if (o.log) {
            Syslog syslog = new Syslog();
            syslog.nativeOpenSyslog();
            log = line -> syslog.nativeSyslog(LOG_INFO, line);
        }
        Server server = o.transport.equals("jdk") ? new JdkServer(o, root, log) : new NativeServer(o, root, log);
        int port;
        try {
            port = server.start();
        } catch (IOException e) {
            System.err.println("fileserver: " + e.getMessage());
            System.exit(1);
            return;
        }
        // Before leaving the superuser: the file's directory may be writable by root only.
        if (o.pidFile != null) {
            Files.writeString(Path.of(o.pidFile), ProcessHandle.current().pid() + "\n");
        }
        if (o.user != null && !leaveSuperuser(o.user, o.group != null ? o.group : o.user)) {
            server.stop();
            System.exit(1);
            return;
        }
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            server.stop();
            System.out.println("fileserver: stopped");
        }));
        System.out.println("fileserver: serving " + root + " at http://" + o.addr + ":" + port + "/ ("
            + o.transport + " transport); Ctrl-C stops it");
        server.await();
    }

    /**
     * Takes on the ids of the account; the group is that of the account named by
     * {@code group} (by default the user's own), so no superuser group stays behind.
     */
    private static boolean leaveSuperuser(String user, String group) {
        int uid = new VelmarSystem().setUserNative(user, group);
        if (uid < 0) {
            System.err.println("fileserver: no account " + user);
            return false;
        }
        if (uid == 0 && !user.equals("root")) {
            System.err.println("fileserver: could not become " + user);
            return false;
        }
        return true;
    }

    /** Starts this same server, without --daemon, as a detached process with no terminal and returns. */
    private static void relaunch(Options o) {
        List<String> argv = new ArrayList<>();
        // The daemon's standard streams would otherwise hold the caller's terminal or pipe.
        argv.add("/bin/sh");
        argv.add("-c");
        argv.add("exec \"$0\" \"$@\" </dev/null >/dev/null 2>&1");
        argv.add(ProcessHandle.current().info().command().orElse(System.getProperty("java.home") + "/bin/java"));
        argv.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        argv.add("-cp");
        argv.add(absoluteClassPath());
        argv.add(FileServer.class.getName());
        argv.addAll(o.forDaemon);
        List<String> envp = new ArrayList<>();
        for (Map.Entry<String, String> e : System.getenv().entrySet()) envp.add(e.getKey() + "=" + e.getValue());
        new TalvoBoot().execDaemon(argv.toArray(new String[0]), envp.toArray(new String[0]),
            System.getProperty("user.dir"));
        System.out.println("fileserver: started in the background"
            + (o.pidFile != null ? "; its process id goes to " + o.pidFile : ""));
    }

    private static String absoluteClassPath() {
        List<String> parts = new ArrayList<>();
        for (String p : System.getProperty("java.class.path").split(File.pathSeparator)) {
            parts.add(new File(p).getAbsolutePath());
        }
        return String.join(File.pathSeparator, parts);
    }
}
