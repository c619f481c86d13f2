package com.velmar.util;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.velmar.ChildJvm;
import java.io.IOException;
import java.nio.file.*;
import java.util.*;
import java.util.stream.*;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Each switch runs in a child JVM that starts as the superuser with the supplementary groups 0 and 4,
 * in a private mount namespace whose account and group files are the system's own plus the entries below.
 */
class VelmarSystemTest {
    private static final String NULL = "<null>", LONG_USER = "a".repeat(255), LONG_GROUP = "g".repeat(255);

    @TempDir
    static Path dir;

    private static List<String> namespace, asRoot;

    /** The process's ids as /proc/self/status shows them, and the call's result. */
    record Ids(int result, List<Integer> uids, List<Integer> gids, Set<Integer> groups) {
        /** All four ids (real, effective, saved, file system) of each kind alike. */
        Ids(int result, int uid, int gid, Integer... groups) {
            this(result, Collections.nCopies(4, uid), Collections.nCopies(4, gid), Set.of(groups));
        }
    }

    @BeforeAll
    static void accounts() throws Exception {
        Path passwd = dir.resolve("passwd"), group = dir.resolve("group");
        Files.writeString(passwd, Files.readString(Path.of("/etc/passwd"))
                + LONG_USER + ":x:4242:4242::/:/bin/false\n"
                + "talvoboth:x:4300:6000::/:/bin/false\n"  // both a group and an account of this name
                + "talvosolo:x:4301:7000::/:/bin/false\n"
                + "talvobig:x:3000000000:3000000000::/:/bin/false\n"
                + "talvozero:x:4400:0::/:/bin/false\n");
        // The system's groups without their member lists, so that each
        // account's supplementary groups are the ones added here.
        Files.writeString(group, Files.readString(Path.of("/etc/group")).replaceAll("(?m):[^:\n]*$", ":")
                + LONG_GROUP + ":x:4343:\ntalvoboth:x:5000:\ntalvoextra:x:5100:daemon\n");
        namespace = ChildJvm.inMountNamespace(
                "mount --bind " + passwd + " /etc/passwd\nmount --bind " + group + " /etc/group");
        asRoot = with(namespace, "setpriv", "--groups", "0,4", "--");
    }

    private static List<String> with(List<String> wrapper, String... more) {
        return Stream.concat(wrapper.stream(), Stream.of(more)).toList();
    }

    private static List<Integer> ids(ChildJvm.Result r, String key) throws IOException {
        return Arrays.stream(r.value(key).trim().split("\\s+")).filter(s -> !s.isEmpty()).map(Integer::parseUnsignedInt)
                .toList();
    }

    private static Ids switchTo(List<String> wrapper, String user, String group) throws Exception {
        ChildJvm.Result r = ChildJvm.run(dir, wrapper, Child.class, user, group);
        return new Ids(Integer.parseInt(r.value("result")), ids(r, "Uid"), ids(r, "Gid"), Set.copyOf(ids(r, "Groups")));
    }

    private static Ids switchTo(String user, String group) throws Exception { return switchTo(asRoot, user, group); }

    @Test
    void takesTheGroupThenTheUserAndTheAccountsSupplementaryGroups() throws Exception {
        // nogroup is a group that no account bears.
        assertEquals(new Ids(1, 1, 65534, 5100, 65534), switchTo("daemon", "nogroup"));
        // A group of the name comes before an account of the name; without
        // such a group, the primary group of the account of that name.
        assertEquals(new Ids(2, 2, 5000, 5000), switchTo("bin", "talvoboth"));
        assertEquals(new Ids(2, 2, 7000, 7000), switchTo("bin", "talvosolo"));
        // The 256th byte differs from the entries' names: only a cut at 255 finds them.
        assertEquals(new Ids(4242, 4242, 4343, 4343),
                     switchTo(LONG_USER + "b".repeat(45), LONG_GROUP + "h".repeat(45)));
    }

    @Test
    void leavingTheSuperuserNeverKeepsGroupZero() throws Exception {
        // No group, an unknown one or the superuser's: the user's own primary group.
        for (String group : new String[] {NULL, "talvo-no-such-group", "root"}) {
            assertEquals(new Ids(65534, 65534, 65534, 65534), switchTo("nobody", group), group);
        }
        // Nothing but group 0 to go to, or no right to set the group: the uid stays too.
        Ids untouched = new Ids(0, 0, 0, 0, 4);
        assertEquals(untouched, switchTo("talvozero", NULL));
        assertEquals(untouched, switchTo(with(asRoot, "setpriv", "--bounding-set", "-setgid", "--inh-caps", "-setgid",
                "--"), "nobody", "nogroup"));
    }

    @Test
    void whatNeedNotOrCannotBeSwitchedStays() throws Exception {
        assertEquals(new Ids(-1, 0, 0, 0, 4), switchTo("talvo-no-such-user", "nogroup"));
        assertEquals(new Ids(-1, 0, 0, 0, 4), switchTo(NULL, "nogroup"));
        // An id of 2^31 or more, or 0, is never set: the group is, and the
        // superuser keeps his supplementary groups.
        assertEquals(new Ids(0, 0, 65534, 0, 4), switchTo("talvobig", "nogroup"));
        assertEquals(new Ids(0, 0, 65534, 0, 4), switchTo("root", "nogroup"));
        List<String> unprivileged = with(namespace, "setpriv", "--reuid", "1", "--regid", "1", "--clear-groups", "--");
        assertEquals(new Ids(1, 1, 1), switchTo(unprivileged, "bin", "nogroup"));
    }

    /** Switches to args[0] and args[1] ("<null>" for null) and prints the result and the ids. */
    public static final class Child {
        public static void main(String[] args) throws Exception {
            String user = NULL.equals(args[0]) ? null : args[0], group = NULL.equals(args[1]) ? null : args[1];
            System.out.println("result=" + new VelmarSystem().setUserNative(user, group));
            for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                String[] field = line.split(":", 2);
                if (Set.of("Uid", "Gid", "Groups").contains(field[0])) System.out.println(field[0] + "=" + field[1]);
            }
        }
    }
}
