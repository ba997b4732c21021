<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>ConnectFailure</name>
    <message>
        <source>Could not reach the server. Check your internet connection and try again.</source>
        <translation>No se pudo contactar con el servidor. Comprueba tu conexión a Internet e inténtalo de nuevo.</translation>
    </message>
    <message>
        <source>The VPN configuration could not be saved.</source>
        <translation>No se pudo guardar la configuración VPN.</translation>
    </message>
    <message>
        <source>The VPN connection failed.</source>
        <translation>La conexión VPN falló.</translation>
    </message>
    <message>
        <source>The VPN could not be started.</source>
        <translation>No se pudo iniciar la VPN.</translation>
    </message>
    <message>
        <source>The VPN server could not be reached.</source>
        <translation>No se pudo contactar con el servidor VPN.</translation>
    </message>
    <message>
        <source>The VPN server refused the login, or this computer does not trust the server's certificate.</source>
        <translation>El servidor VPN rechazó el inicio de sesión, o este equipo no confía en el certificado del servidor.</translation>
    </message>
    <message>
        <source>The VPN server sent an unusable network configuration.</source>
        <translation>El servidor VPN envió una configuración de red no válida.</translation>
    </message>
    <message>
        <source>The server did not answer in time. Please try again.</source>
        <translation>El servidor no respondió a tiempo. Inténtalo de nuevo.</translation>
    </message>
    <message>
        <source>The server answered with an error. Please try again later.</source>
        <translation>El servidor respondió con un error. Inténtalo más tarde.</translation>
    </message>
    <message>
        <source>The server's answer was too large to read. Please try again later.</source>
        <translation>La respuesta del servidor era demasiado grande para leerla. Inténtalo más tarde.</translation>
    </message>
    <message>
        <source>The server sent no usable VPN configuration. Please try again later.</source>
        <translation>El servidor no envió una configuración VPN válida. Inténtalo más tarde.</translation>
    </message>
    <message>
        <source>The system's VPN service is not available.</source>
        <translation>El servicio VPN del sistema no está disponible.</translation>
    </message>
    <message>
        <source>The system's VPN settings could not be read.</source>
        <translation>No se pudieron leer los ajustes VPN del sistema.</translation>
    </message>
    <message>
        <source>The system's strongSwan VPN plugin is missing or did not start.</source>
        <translation>Falta el complemento VPN strongSwan del sistema o no se inició.</translation>
    </message>
    <message>
        <source>The tunnel password could not be kept in the keychain.</source>
        <translation>No se pudo guardar la contraseña del túnel en el llavero.</translation>
    </message>
    <message>
        <source>The tunnel password could not be read from the keychain.</source>
        <translation>No se pudo leer la contraseña del túnel del llavero.</translation>
    </message>
    <message>
        <source>Your keyring is locked. Unlock it, then connect again.</source>
        <translation>Tu llavero está bloqueado. Desbloquéalo y vuelve a conectar.</translation>
    </message>
    <message>
        <source>The VPN server did not answer.</source>
        <translation>El servidor VPN no respondió.</translation>
    </message>
    <message>
        <source>The VPN server&apos;s name could not be resolved.</source>
        <translation>No se pudo resolver el nombre del servidor VPN.</translation>
    </message>
    <message>
        <source>NetworkManager did not answer.</source>
        <translation>NetworkManager no respondió.</translation>
    </message>
</context>
</TS>
