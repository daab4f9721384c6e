<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>Orvex::Error</name>
    <message>
        <source>User with given email doesn&apos;t exist</source>
        <extracomment>user_not_exist</extracomment>
        <translation>Es gibt keinen Benutzer mit dieser E-Mail-Adresse</translation>
    </message>
    <message>
        <source>Wrong email or password</source>
        <extracomment>invalid_password</extracomment>
        <translation>E-Mail-Adresse oder Passwort falsch</translation>
    </message>
    <message>
        <source>Device does not exists</source>
        <extracomment>unknown_device</extracomment>
        <translation>Das Gerät ist nicht bekannt</translation>
    </message>
</context>
</TS>
