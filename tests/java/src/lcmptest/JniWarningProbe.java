package lcmptest;

/** Commits a JNI fault on purpose: the harness must report the warning it causes. */
public final class JniWarningProbe {
    private JniWarningProbe() {}

    public static void main(String[] args) {
        TestHooks.callWithoutExceptionCheck();
        System.out.println("JNI fault committed");
    }
}
