package startutil.consumer;

import velquon.zy.drav.sdk.util.ServerStartUtility;

/**
 * A program that uses the library as its users do, built by Maven or as a module: says which JVM
 * it is and which module the library came in, then starts the command line it is given.
 */
public final class Main {
    private Main() {}

    public static void main(String[] args) {
        Module library = ServerStartUtility.class.getModule();
        String module = !library.isNamed() ? "unnamed"
                        : library.getDescriptor().isAutomatic()
                            ? "automatic " + library.getName()
                            : library.getDescriptor().toNameAndVersion();
        System.out.println("pid " + ProcessHandle.current().pid());
        System.out.println("module " + module);
        System.out.flush();
        ServerStartUtility.invokeNonBlockingCommandWithArgs(args[0]);
    }
}
