package velquon.zy.drav.sdk.util;

/**
 * Starts another program as a fully detached process and returns at once.
 *
 * <p>The child runs without a console window, as the root of a new process group (a new session
 * on Linux), inherits no handle or descriptor beyond standard input, output and error, and keeps
 * the caller's environment and working directory. Nobody waits for it and it outlives the JVM.
 * Each call echoes its command text to standard output; a launch that fails is reported on
 * standard error and otherwise returns normally.
 */
public final class ServerStartUtility {
    static {
        System.loadLibrary("StartUtil");
    }

    private ServerStartUtility() {}

    /** Starts the program at {@code programPath}, taken as a file name, with no arguments. */
    public static native void invokeNonBlockingCommand(String programPath);

    /** Starts a whole command line: the program is its first token, the rest its arguments. */
    public static native void invokeNonBlockingCommandWithArgs(String commandLine);
}
