package com.velmar.util;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.velmar.ChildJvm;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Collectors;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Each switch runs in a child JVM that starts as the superuser with the
 * supplementary groups 0 and 4, in a private mount namespace whose account
 * and group files are the system's own plus the entries below.
 */
class VelmarSystemTest {
    private static final String NULL = "<null>";
    private static final String LONG_USER = "a".repeat(255);
    private static final String LONG_GROUP = "g".repeat(255);

    @TempDir
    static Path dir;

    private static List<String> namespace;
    private static List<String> asRoot;

    /** The process's ids as /proc/self/status shows them, and the call's result. */
    record Ids(int result, List<Integer> uids, List<Integer> gids, Set<Integer> groups) {}

    @BeforeAll
    static void accounts() throws Exception {
        Path passwd = dir.resolve("passwd");
        Path group = dir.resolve("group");
        Files.writeString(passwd, Files.readString(Path.of("/etc/passwd"))
                + LONG_USER + ":x:4242:4242::/:/bin/false\n"
                // Both a group and an account of this name, with different ids.
                + "talvoboth:x:4300:6000::/:/bin/false\n"
                + "talvosolo:x:4301:7000::/:/bin/false\n"
                + "talvobig:x:3000000000:3000000000::/:/bin/false\n"
                + "talvozero:x:4400:0::/:/bin/false\n");
        // The system's groups without their member lists, so that each
        // account's supplementary groups are the ones added here.
        Files.writeString(group, Files.readString(Path.of("/etc/group")).replaceAll("(?m):[^:\n]*$", ":")
                + LONG_GROUP + ":x:4343:\n"
                + "talvoboth:x:5000:\n"
                + "talvoextra:x:5100:daemon\n");
        namespace = ChildJvm.inMountNamespace(
                "mount --bind " + passwd + " /etc/passwd\nmount --bind " + group + " /etc/group");
        asRoot = with(namespace, "setpriv", "--groups", "0,4", "--");
    }

    private static Ids switchTo(List<String> wrapper, String user, String group) throws Exception {
        ChildJvm.Result r = ChildJvm.run(dir, wrapper, Child.class, user, group);
        return new Ids(Integer.parseInt(r.value("result")), ids(r.value("Uid")), ids(r.value("Gid")),
                new TreeSet<>(ids(r.value("Groups"))));
    }

    private static Ids switchTo(String user, String group) throws Exception {
        return switchTo(asRoot, user, group);
    }

    private static List<String> with(List<String> wrapper, String... more) {
        List<String> command = new ArrayList<>(wrapper);
        command.addAll(List.of(more));
        return command;
    }

    private static List<Integer> ids(String text) {
        return Arrays.stream(text.trim().split("\\s+"))
                .filter(s -> !s.isEmpty())
                .map(s -> Integer.parseUnsignedInt(s))
                .collect(Collectors.toList());
    }

    private static List<Integer> all(int id) {
        return List.of(id, id, id, id);
    }

    @Test
    void takesTheGroupThenTheUserAndTheAccountsSupplementaryGroups() throws Exception {
        // nogroup is a group that no account bears.
        assertEquals(new Ids(1, all(1), all(65534), Set.of(5100, 65534)), switchTo("daemon", "nogroup"));
        // A group of the name comes before an account of the name; without
        // such a group, the primary group of the account of that name.
        assertEquals(new Ids(2, all(2), all(5000), Set.of(5000)), switchTo("bin", "talvoboth"));
        assertEquals(new Ids(2, all(2), all(7000), Set.of(7000)), switchTo("bin", "talvosolo"));
        // The 256th byte differs from the entries' names: only a cut at 255 finds them.
        assertEquals(new Ids(4242, all(4242), all(4343), Set.of(4343)),
                switchTo(LONG_USER + "b".repeat(45), LONG_GROUP + "h".repeat(45)));
    }

    @Test
    void leavingTheSuperuserNeverKeepsGroupZero() throws Exception {
        // No group, an unknown one or the superuser's: the user's own primary group.
        Ids own = new Ids(65534, all(65534), all(65534), Set.of(65534));
        assertEquals(own, switchTo("nobody", NULL));
        assertEquals(own, switchTo("nobody", "talvo-no-such-group"));
        assertEquals(own, switchTo("nobody", "root"));
        Ids untouched = new Ids(0, all(0), all(0), Set.of(0, 4));
        // Nothing but group 0 to go to, or no right to set the group: the uid stays too.
        assertEquals(untouched, switchTo("talvozero", NULL));
        assertEquals(untouched, switchTo(with(asRoot, "setpriv", "--bounding-set", "-setgid", "--inh-caps", "-setgid", "--"),
                "nobody", "nogroup"));
    }

    @Test
    void whatNeedNotOrCannotBeSwitchedStays() throws Exception {
        Ids untouched = new Ids(-1, all(0), all(0), Set.of(0, 4));
        assertEquals(untouched, switchTo("talvo-no-such-user", "nogroup"));
        assertEquals(untouched, switchTo(NULL, "nogroup"));
        // An id of 2^31 or more, or 0, is never set: the group is, and the
        // superuser keeps his supplementary groups.
        assertEquals(new Ids(0, all(0), all(65534), Set.of(0, 4)), switchTo("talvobig", "nogroup"));
        assertEquals(new Ids(0, all(0), all(65534), Set.of(0, 4)), switchTo("root", "nogroup"));
        List<String> unprivileged = with(namespace, "setpriv", "--reuid", "1", "--regid", "1", "--clear-groups", "--");
        assertEquals(new Ids(1, all(1), all(1), Set.of()), switchTo(unprivileged, "bin", "nogroup"));
    }

    /** Switches to args[0] and args[1] ("<null>" for null) and prints the result and the ids. */
    public static final class Child {
        public static void main(String[] args) throws Exception {
            String user = NULL.equals(args[0]) ? null : args[0];
            String group = NULL.equals(args[1]) ? null : args[1];
            System.out.println("result=" + new VelmarSystem().setUserNative(user, group));
            for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                String[] field = line.split(":", 2);
                if (Set.of("Uid", "Gid", "Groups").contains(field[0])) System.out.println(field[0] + "=" + field[1]);
            }
        }
    }
}
