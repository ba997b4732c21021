<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>LoginController</name>
    <message>
        <source>Your account was created, but your login could not be kept in the keyring. Unlock the keyring and log in with your e-mail and password.</source>
        <translation>Tu cuenta se ha creado, pero tu sesión no se pudo guardar en el llavero. Desbloquea el llavero e inicia sesión con tu correo electrónico y tu contraseña.</translation>
    </message>
    <message>
        <source>Your login could not be kept in the keyring. Unlock the keyring (or make it writable) and log in again.</source>
        <translation>Tu sesión no se pudo guardar en el llavero. Desbloquea el llavero (o permite escribir en él) e inicia sesión de nuevo.</translation>
    </message>
</context>
</TS>
