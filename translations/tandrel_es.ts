<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>Tandrel</name>
    <message>
        <source>Your session has expired. Please log in again.</source>
        <translation>Tu sesión ha caducado. Vuelve a iniciar sesión.</translation>
    </message>
    <message>
        <source>A new version of Tandrel is available!</source>
        <translation>¡Hay una nueva versión de Tandrel disponible!</translation>
    </message>
    <message>
        <source>About Tandrel</source>
        <translation>Acerca de Tandrel</translation>
    </message>
    <message>
        <source>An error occurred in retrieving update information. Please try again later.</source>
        <translation>Se produjo un error al obtener la información de actualización. Inténtalo de nuevo más tarde.</translation>
    </message>
    <message>
        <source>Automatically check for updates</source>
        <translation>Buscar actualizaciones automáticamente</translation>
    </message>
    <message>
        <source>Automatically download updates</source>
        <translation>Descargar actualizaciones automáticamente</translation>
    </message>
    <message>
        <source>Check for Updates…</source>
        <translation>Buscar actualizaciones…</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
    <message>
        <source>Don&apos;t have account yet?</source>
        <translation>¿Todavía no tienes cuenta?</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>Descargar</translation>
    </message>
    <message>
        <source>Email</source>
        <translation>Correo electrónico</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Archivo</translation>
    </message>
    <message>
        <source>Forget Password</source>
        <translation>Olvidé mi contraseña</translation>
    </message>
    <message>
        <source>Hide Password</source>
        <translation>Ocultar contraseña</translation>
    </message>
    <message>
        <source>If you already have an account, </source>
        <translation>Si ya tienes una cuenta, </translation>
    </message>
    <message>
        <source>Keep Logged In</source>
        <translation>Mantener la sesión iniciada</translation>
    </message>
    <message>
        <source>Loading…</source>
        <translation>Cargando…</translation>
    </message>
    <message>
        <source>Log In</source>
        <translation>Inicia sesión</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>Iniciar sesión</translation>
    </message>
    <message>
        <source>Message</source>
        <translation>Mensaje</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Aceptar</translation>
    </message>
    <message>
        <source>Show Tandrel</source>
        <translation>Mostrar Tandrel</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Salir</translation>
    </message>
    <message>
        <source>Includes icons from Tabler Icons and flag-icons and map data from Natural Earth (world-atlas); their licences are under Show Details.</source>
        <translation>Incluye iconos de Tabler Icons y flag-icons y datos de mapa de Natural Earth (world-atlas); sus licencias están en Mostrar detalles.</translation>
    </message>
    <message>
        <source>Quit Tandrel</source>
        <translation>Salir de Tandrel</translation>
    </message>
    <message>
        <source>Remind Me Later</source>
        <translation>Recordármelo más tarde</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Ajustes</translation>
    </message>
    <message>
        <source>Settings…</source>
        <translation>Ajustes…</translation>
    </message>
    <message>
        <source>Show Password</source>
        <translation>Mostrar contraseña</translation>
    </message>
    <message>
        <source>Sign Up</source>
        <translation>Registrarse</translation>
    </message>
    <message>
        <source>Software Update</source>
        <translation>Actualización de software</translation>
    </message>
    <message>
        <source>Tandrel</source>
        <translation>Tandrel</translation>
    </message>
    <message>
        <source>Tandrel %1 could not be downloaded.</source>
        <translation>No se pudo descargar Tandrel %1.</translation>
    </message>
    <message>
        <source>Tandrel %1 has been downloaded to %2.</source>
        <translation>Tandrel %1 se ha descargado en %2.</translation>
    </message>
    <message>
        <source>Tandrel %1 is currently the newest version available.</source>
        <translation>Tandrel %1 es la versión más reciente disponible.</translation>
    </message>
    <message>
        <source>Tandrel %1 is now available—you have %2. Would you like to download it now?</source>
        <translation>Tandrel %1 ya está disponible; tienes la %2. ¿Quieres descargarla ahora?</translation>
    </message>
    <message>
        <source>Update Error!</source>
        <translation>¡Error de actualización!</translation>
    </message>
    <message>
        <source>You’re up to date!</source>
        <translation>¡Estás al día!</translation>
    </message>
    <message>
        <source>Keychain</source>
        <translation>Llavero</translation>
    </message>
    <message>
        <source>No keyring (Secret Service) is available on this desktop, so Tandrel keeps your credentials in a file only you can read:</source>
        <translation>No hay ningún llavero (Secret Service) disponible en este escritorio, así que Tandrel guarda tus credenciales en un archivo que solo tú puedes leer:</translation>
    </message>
</context>
</TS>
