import com.velmar.vfs.JniStream;

/** Loads libtalvo into this JVM and calls one of its natives. */
public class Smoke {
    public static void main(String[] args) {
        int answer = new JniStream().flushNative(1);
        System.out.println("libtalvo loaded; flushNative(1) = " + answer);
        if (answer != 0) System.exit(1);
    }
}
