package startutil.test;

/** The two native methods, whichever way the class binds them. */
public interface Launcher {
    void invokeNonBlockingCommand(String programPath);

    void invokeNonBlockingCommandWithArgs(String commandLine);
}
