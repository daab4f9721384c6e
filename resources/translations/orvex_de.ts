<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>AlertController</name>
    <message>
        <location filename="../../src/ui/AlertController.ui" line="28"/>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>AuthViewController</name>
    <message>
        <location filename="../../src/account/AuthViewController.ui" line="14"/>
        <source>Back</source>
        <translation>Zurück</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.ui" line="23"/>
        <location filename="../../src/account/AuthViewController.ui" line="85"/>
        <source>Sign In</source>
        <translation>Anmelden</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.ui" line="43"/>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.ui" line="56"/>
        <source>E-mail</source>
        <translation>E-Mail</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.ui" line="69"/>
        <source>Password</source>
        <translation>Passwort</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.ui" line="79"/>
        <source>Forgot password?</source>
        <translation>Passwort vergessen?</translation>
    </message>
</context>
<context>
    <name>ConfirmationCodeViewController</name>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.ui" line="14"/>
        <source>Back</source>
        <translation>Zurück</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.ui" line="23"/>
        <source>Enter the Code</source>
        <translation>Code eingeben</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.ui" line="37"/>
        <source>Confirmation code</source>
        <translation>Bestätigungscode</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.ui" line="45"/>
        <source>Confirm</source>
        <translation>Bestätigen</translation>
    </message>
</context>
<context>
    <name>InfoViewController</name>
    <message>
        <location filename="../../src/settings/InfoViewController.ui" line="21"/>
        <source>Orvex Cloud</source>
        <translation>Orvex Cloud</translation>
    </message>
</context>
<context>
    <name>MobileViewController</name>
    <message>
        <location filename="../../src/account/MobileViewController.ui" line="14"/>
        <source>Back</source>
        <translation>Zurück</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.ui" line="23"/>
        <source>Verify Your Phone</source>
        <translation>Telefonnummer bestätigen</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.ui" line="37"/>
        <source>Country</source>
        <translation>Land</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.ui" line="45"/>
        <source>Mobile number</source>
        <translation>Mobilnummer</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.ui" line="66"/>
        <source>Send Code</source>
        <translation>Code senden</translation>
    </message>
</context>
<context>
    <name>Orvex::AlertController</name>
    <message>
        <location filename="../../src/ui/AlertController.cpp" line="23"/>
        <source>Alert</source>
        <translation>Hinweis</translation>
    </message>
</context>
<context>
    <name>Orvex::AuthScreenStyle</name>
    <message>
        <location filename="../../src/account/AuthScreenStyle.cpp" line="22"/>
        <source>Back</source>
        <extracomment>back_btn</extracomment>
        <translation>Zurück</translation>
    </message>
</context>
<context>
    <name>Orvex::ClientControl</name>
    <message>
        <location filename="../../src/app/ClientControl.cpp" line="125"/>
        <source>Nobody is signed in to Orvex. Sign in in the Orvex window first.</source>
        <extracomment>control_signed_out</extracomment>
        <translation>Niemand ist bei Orvex angemeldet. Melden Sie sich zuerst im Orvex-Fenster an.</translation>
    </message>
</context>
<context>
    <name>Orvex::AuthViewController</name>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="30"/>
        <source>Name</source>
        <extracomment>name_label</extracomment>
        <translation>Name</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="32"/>
        <source>E-mail</source>
        <extracomment>email_label</extracomment>
        <translation>E-Mail</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="34"/>
        <source>Password</source>
        <extracomment>password_label</extracomment>
        <translation>Passwort</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="36"/>
        <source>you@example.com</source>
        <extracomment>email_placeholder</extracomment>
        <translation>name@beispiel.de</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="39"/>
        <source>Forgot password?</source>
        <extracomment>forgot_password_btn</extracomment>
        <translation>Passwort vergessen?</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="65"/>
        <source>Sign Up</source>
        <extracomment>sign_up_btn</extracomment>
        <translation>Registrieren</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="67"/>
        <source>Create Account</source>
        <extracomment>sign_up_title</extracomment>
        <translation>Konto erstellen</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="69"/>
        <source>Create your Orvex Cloud account.</source>
        <extracomment>sign_up_subtitle</extracomment>
        <translation>Erstellen Sie Ihr Orvex-Cloud-Konto.</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="71"/>
        <source>At least 5 characters</source>
        <extracomment>password_placeholder</extracomment>
        <translation>Mindestens 5 Zeichen</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="76"/>
        <source>Sign In</source>
        <extracomment>sign_in_btn</extracomment>
        <translation>Anmelden</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="78"/>
        <source>Welcome Back</source>
        <extracomment>sign_in_title</extracomment>
        <translation>Willkommen zurück</translation>
    </message>
    <message>
        <location filename="../../src/account/AuthViewController.cpp" line="80"/>
        <source>Sign in with your Orvex Cloud account.</source>
        <extracomment>sign_in_subtitle</extracomment>
        <translation>Melden Sie sich mit Ihrem Orvex-Cloud-Konto an.</translation>
    </message>
</context>
<context>
    <name>Orvex::BaseViewController</name>
    <message>
        <location filename="../../src/ui/BaseViewController.cpp" line="91"/>
        <source>About Orvex</source>
        <translation>Über Orvex</translation>
    </message>
    <message>
        <location filename="../../src/ui/BaseViewController.cpp" line="98"/>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <location filename="../../src/ui/BaseViewController.cpp" line="65"/>
        <source>Please wait</source>
        <extracomment>progress_wait</extracomment>
        <translation>Bitte warten</translation>
    </message>
</context>
<context>
    <name>Orvex::ConfirmationCodeViewController</name>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.cpp" line="23"/>
        <source>Enter the Code</source>
        <extracomment>code_title</extracomment>
        <translation>Code eingeben</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.cpp" line="25"/>
        <source>Confirmation code</source>
        <extracomment>code_label</extracomment>
        <translation>Bestätigungscode</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.cpp" line="27"/>
        <source>Confirm</source>
        <extracomment>confirm_btn</extracomment>
        <translation>Bestätigen</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.cpp" line="58"/>
        <source>We have sent a 4-digit code by SMS to %1.</source>
        <extracomment>code_subtitle_number</extracomment>
        <translation>Wir haben einen 4-stelligen Code per SMS an %1 gesendet.</translation>
    </message>
    <message>
        <location filename="../../src/account/ConfirmationCodeViewController.cpp" line="60"/>
        <source>We have sent a 4-digit code to your phone by SMS.</source>
        <translation>Wir haben einen 4-stelligen Code per SMS an Ihr Telefon gesendet.</translation>
    </message>
</context>
<context>
    <name>Orvex::DeviceRegistration</name>
    <message>
        <location filename="../../src/account/DeviceRegistration.cpp" line="54"/>
        <source>Your account details are no longer stored on this computer. Please, start again.</source>
        <extracomment>session_missing</extracomment>
        <translation>Ihre Kontodaten sind auf diesem Computer nicht mehr gespeichert. Bitte beginnen Sie von vorn.</translation>
    </message>
</context>
<context>
    <name>Orvex::Error</name>
    <message>
        <location filename="../../src/api/Error.cpp" line="16"/>
        <source>User with given email doesn&apos;t exist</source>
        <extracomment>user_not_exist</extracomment>
        <translation>Es gibt keinen Benutzer mit dieser E-Mail-Adresse</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="18"/>
        <source>Wrong email or password</source>
        <extracomment>invalid_password</extracomment>
        <translation>E-Mail-Adresse oder Passwort falsch</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="21"/>
        <source>Empty response from server. Please, contact support</source>
        <extracomment>empty_response</extracomment>
        <translation>Leere Antwort vom Server. Bitte wenden Sie sich an den Support</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="24"/>
        <source>Cannot parse response. Please, contact support</source>
        <extracomment>cannot_parse_data</extracomment>
        <translation>Die Antwort des Servers ist unlesbar. Bitte wenden Sie sich an den Support</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="27"/>
        <source>User with given email already exists</source>
        <extracomment>user_already_exist</extracomment>
        <translation>Es gibt bereits einen Benutzer mit dieser E-Mail-Adresse</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="29"/>
        <source>Please, enter valid data</source>
        <extracomment>wrong_auth_data</extracomment>
        <translation>Bitte geben Sie gültige Daten ein</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="31"/>
        <source>Wrong confirmation code</source>
        <extracomment>wrong_confirmation_code</extracomment>
        <translation>Falscher Bestätigungscode</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="33"/>
        <source>Invalid mobile number</source>
        <extracomment>invalid_mobile</extracomment>
        <translation>Ungültige Mobilnummer</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="35"/>
        <source>Please, fill in all fields</source>
        <extracomment>invalid_mobile</extracomment>
        <translation>Bitte füllen Sie alle Felder aus</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="37"/>
        <source>You already have the latest software</source>
        <extracomment>already_updated_error</extracomment>
        <translation>Sie haben bereits die neueste Version</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="39"/>
        <source>Device does not exists</source>
        <extracomment>unknown_device</extracomment>
        <translation>Das Gerät ist nicht bekannt</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="41"/>
        <source>Unknown error. Please, contact support</source>
        <extracomment>unknown</extracomment>
        <translation>Unbekannter Fehler. Bitte wenden Sie sich an den Support</translation>
    </message>
    <message>
        <location filename="../../src/api/Error.cpp" line="44"/>
        <source>The server sent a certificate that cannot be used.</source>
        <extracomment>unusable_certificate</extracomment>
        <translation>Der Server hat ein Zertifikat gesendet, das sich nicht verwenden lässt.</translation>
    </message>
</context>
<context>
    <name>Orvex::InfoViewController</name>
    <message>
        <location filename="../../src/settings/InfoViewController.cpp" line="15"/>
        <source>About Orvex</source>
        <translation>Über Orvex</translation>
    </message>
</context>
<context>
    <name>Orvex::MainViewController</name>
    <message>
        <location filename="../../src/home/MainViewController.cpp" line="201"/>
        <source>This month</source>
        <translation>Dieser Monat</translation>
    </message>
    <message>
        <location filename="../../src/home/MainViewController.cpp" line="202"/>
        <source>Hourly average</source>
        <translation>Stundendurchschnitt</translation>
    </message>
    <message>
        <location filename="../../src/home/MainViewController.cpp" line="178"/>
        <location filename="../../src/home/MainViewController.cpp" line="376"/>
        <source>Turn OFF</source>
        <extracomment>lift_block_btn</extracomment>
        <translation>Ausschalten</translation>
    </message>
    <message>
        <location filename="../../src/home/MainViewController.cpp" line="183"/>
        <source>Turn OFF and allow traffic outside the VPN</source>
        <extracomment>lift_block_btn_a11y</extracomment>
        <translation>Ausschalten und Datenverkehr außerhalb des VPN erlauben</translation>
    </message>
    <message>
        <location filename="../../src/home/MainViewController.cpp" line="376"/>
        <source>Turn ON</source>
        <translation>Einschalten</translation>
    </message>
    <message>
        <location filename="../../src/home/MainViewController.cpp" line="456"/>
        <source>The VPN service did not answer; check that it is running and try again.</source>
        <translation>Der VPN-Dienst hat nicht geantwortet. Prüfen Sie, ob er läuft, und versuchen Sie es erneut.</translation>
    </message>
</context>
<context>
    <name>Orvex::Menu</name>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="28"/>
        <source>&amp;Orvex</source>
        <translation>&amp;Orvex</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="29"/>
        <source>&amp;About Orvex</source>
        <translation>Über &amp;Orvex</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="30"/>
        <source>Check for &amp;Updates…</source>
        <translation>Nach &amp;Updates suchen…</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="32"/>
        <source>&amp;Settings…</source>
        <translation>&amp;Einstellungen…</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="35"/>
        <source>&amp;Quit Orvex</source>
        <translation>Orvex &amp;beenden</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="39"/>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="40"/>
        <source>Contact &amp;Support…</source>
        <translation>&amp;Support kontaktieren…</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="41"/>
        <source>&amp;Privacy Policy</source>
        <translation>&amp;Datenschutzerklärung</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="48"/>
        <source>Settings</source>
        <extracomment>settings_title</extracomment>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <location filename="../../src/tray/Menu.cpp" line="66"/>
        <source>Support</source>
        <extracomment>support_title</extracomment>
        <translation>Support</translation>
    </message>
</context>
<context>
    <name>Orvex::MobileViewController</name>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="23"/>
        <source>Verify Your Phone</source>
        <extracomment>mobile_title</extracomment>
        <translation>Telefonnummer bestätigen</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="25"/>
        <source>We will send a 4-digit code by SMS to confirm your account.</source>
        <extracomment>mobile_subtitle</extracomment>
        <translation>Wir senden Ihnen einen 4-stelligen Code per SMS, um Ihr Konto zu bestätigen.</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="27"/>
        <location filename="../../src/account/MobileViewController.cpp" line="62"/>
        <source>Country</source>
        <extracomment>country_label
----------
country_menu_title</extracomment>
        <translation>Land</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="29"/>
        <source>Mobile number</source>
        <extracomment>mobile_label</extracomment>
        <translation>Mobilnummer</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="31"/>
        <source>Number without the country code</source>
        <extracomment>mobile_placeholder</extracomment>
        <translation>Nummer ohne Ländervorwahl</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="33"/>
        <source>Send Code</source>
        <extracomment>send_code_btn</extracomment>
        <translation>Code senden</translation>
    </message>
    <message>
        <location filename="../../src/account/MobileViewController.cpp" line="35"/>
        <source>Choose your country</source>
        <extracomment>country_placeholder</extracomment>
        <translation>Wählen Sie Ihr Land</translation>
    </message>
</context>
<context>
    <name>Orvex::SettingsViewController</name>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="84"/>
        <source>ACCOUNT</source>
        <extracomment>settings_account_caption</extracomment>
        <translation>KONTO</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="104"/>
        <source>PREFERENCES</source>
        <extracomment>settings_preferences_caption</extracomment>
        <translation>EINSTELLUNGEN</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="107"/>
        <source>Connect automatically</source>
        <extracomment>auto_connect_btn</extracomment>
        <translation>Automatisch verbinden</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="109"/>
        <source>Bring the VPN up by itself whenever you are online</source>
        <extracomment>auto_connect_detail</extracomment>
        <translation>Das VPN von selbst einschalten, sobald Sie online sind</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="114"/>
        <source>Start at login</source>
        <extracomment>auto_start_btn</extracomment>
        <translation>Beim Anmelden starten</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="116"/>
        <source>Open Orvex Cloud when you log in to this computer</source>
        <extracomment>auto_start_detail</extracomment>
        <translation>Orvex Cloud öffnen, wenn Sie sich an diesem Computer anmelden</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="121"/>
        <source>Show notifications</source>
        <extracomment>notifications_btn</extracomment>
        <translation>Mitteilungen anzeigen</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="123"/>
        <source>Tell me when the VPN connects, drops or fails</source>
        <extracomment>notifications_detail</extracomment>
        <translation>Melden, wenn das VPN sich verbindet, abbricht oder scheitert</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="128"/>
        <source>Always require VPN</source>
        <extracomment>always_require_btn</extracomment>
        <translation>VPN immer erforderlich</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="130"/>
        <source>Block all traffic while the VPN is off, except signing in</source>
        <extracomment>always_require_detail</extracomment>
        <translation>Sperrt allen Datenverkehr, solange das VPN aus ist, außer der Anmeldung</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="139"/>
        <source>Sign Out</source>
        <extracomment>sign_out_btn</extracomment>
        <translation>Abmelden</translation>
    </message>
    <message>
        <location filename="../../src/settings/SettingsViewController.cpp" line="222"/>
        <source>Settings</source>
        <extracomment>settings_title</extracomment>
        <translation>Einstellungen</translation>
    </message>
</context>
<context>
    <name>Orvex::StartViewController</name>
    <message>
        <location filename="../../src/account/StartViewController.cpp" line="33"/>
        <source>Sign In</source>
        <extracomment>sign_in_btn</extracomment>
        <translation>Anmelden</translation>
    </message>
    <message>
        <location filename="../../src/account/StartViewController.cpp" line="35"/>
        <source>Sign Up</source>
        <extracomment>sign_up_btn</extracomment>
        <translation>Registrieren</translation>
    </message>
</context>
<context>
    <name>Orvex::StatusMenuHandler</name>
    <message>
        <location filename="../../src/tray/StatusMenuHandler.cpp" line="86"/>
        <source>Disconnect and Allow Traffic Without VPN</source>
        <extracomment>lift_block_menu</extracomment>
        <translation>Trennen und Datenverkehr ohne VPN erlauben</translation>
    </message>
</context>
<context>
    <name>Orvex::StatusMenuItem</name>
    <message>
        <location filename="../../src/tray/StatusMenuItem.cpp" line="10"/>
        <source>Disconnect</source>
        <extracomment>aciton</extracomment>
        <translation>Trennen</translation>
    </message>
    <message>
        <location filename="../../src/tray/StatusMenuItem.cpp" line="13"/>
        <source>Connect</source>
        <extracomment>aciton</extracomment>
        <translation>Verbinden</translation>
    </message>
    <message>
        <location filename="../../src/tray/StatusMenuItem.cpp" line="19"/>
        <source>Show</source>
        <extracomment>show</extracomment>
        <translation>Anzeigen</translation>
    </message>
    <message>
        <location filename="../../src/tray/StatusMenuItem.cpp" line="22"/>
        <source>Quit</source>
        <extracomment>Quit</extracomment>
        <translation>Beenden</translation>
    </message>
</context>
<context>
    <name>Orvex::SupportHandler</name>
    <message>
        <location filename="../../src/support/SupportHandler.cpp" line="77"/>
        <source>The help desk did not accept the request (HTTP status %1), please try again later</source>
        <extracomment>support_request_refused</extracomment>
        <translation>Der Support hat die Anfrage nicht angenommen (HTTP-Status %1), bitte versuchen Sie es später erneut</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportHandler.cpp" line="85"/>
        <source>The connection closed before the help desk answered, please look for a confirmation e-mail before sending your request again</source>
        <extracomment>support_request_dropped</extracomment>
        <translation>Die Verbindung wurde beendet, bevor der Support geantwortet hat. Bitte sehen Sie nach einer Bestätigungs-E-Mail, bevor Sie Ihre Anfrage erneut senden</translation>
    </message>
</context>
<context>
    <name>Orvex::SupportViewController</name>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="40"/>
        <source>How can we help?</source>
        <extracomment>support_heading</extracomment>
        <translation>Wie können wir helfen?</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="57"/>
        <source>Describe what happened and what you expected</source>
        <extracomment>support_placeholder</extracomment>
        <translation>Beschreiben Sie, was passiert ist und was Sie erwartet haben</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="60"/>
        <source>Your request</source>
        <extracomment>support_text_name</extracomment>
        <translation>Ihre Anfrage</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="71"/>
        <source>Send Request</source>
        <extracomment>support_send_btn</extracomment>
        <translation>Anfrage senden</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="93"/>
        <source>Our support staff will answer you by e-mail at %1</source>
        <extracomment>support_detail</extracomment>
        <translation>Unser Support-Team antwortet Ihnen per E-Mail an %1</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="96"/>
        <source>Sign in first, so our support staff can answer you by e-mail</source>
        <extracomment>support_detail_signed_out</extracomment>
        <translation>Melden Sie sich zuerst an, damit unser Support-Team Ihnen per E-Mail antworten kann</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="117"/>
        <source>Please sign in to send a support request</source>
        <extracomment>support_signed_out</extracomment>
        <translation>Bitte melden Sie sich an, um eine Support-Anfrage zu senden</translation>
    </message>
    <message>
        <location filename="../../src/support/SupportViewController.cpp" line="125"/>
        <source>Your request has been received and is being reviewed by our support staff</source>
        <extracomment>support_request_response</extracomment>
        <translation>Ihre Anfrage ist eingegangen und wird von unserem Support-Team bearbeitet</translation>
    </message>
</context>
<context>
    <name>Orvex::TunnelNotifications</name>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="25"/>
        <source>The VPN server did not answer.</source>
        <extracomment>notification_failed_no_answer</extracomment>
        <translation>Der VPN-Server hat nicht geantwortet.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="28"/>
        <source>The VPN server refused the connection.</source>
        <extracomment>notification_failed_refused</extracomment>
        <translation>Der VPN-Server hat die Verbindung abgelehnt.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="31"/>
        <source>The VPN service on this computer is not running.</source>
        <extracomment>notification_failed_daemon</extracomment>
        <translation>Der VPN-Dienst auf diesem Computer läuft nicht.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="36"/>
        <source>The connection could not be established.</source>
        <extracomment>notification_failed_unknown</extracomment>
        <translation>Die Verbindung konnte nicht hergestellt werden.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="64"/>
        <source>Sign-in needed for this network</source>
        <extracomment>notification_portal</extracomment>
        <translation>Anmeldung für dieses Netzwerk nötig</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="69"/>
        <source>VPN off, traffic blocked</source>
        <extracomment>notification_blocked</extracomment>
        <translation>VPN aus, Datenverkehr gesperrt</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="94"/>
        <source>VPN connected</source>
        <extracomment>notification_connected</extracomment>
        <translation>VPN verbunden</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="96"/>
        <source>Your traffic now goes through the VPN.</source>
        <extracomment>notification_connected_body</extracomment>
        <translation>Ihr Datenverkehr läuft jetzt über das VPN.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="108"/>
        <source>VPN disconnected</source>
        <extracomment>notification_disconnected</extracomment>
        <translation>VPN getrennt</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="110"/>
        <source>The connection to the VPN server was lost.</source>
        <extracomment>notification_disconnected_body</extracomment>
        <translation>Die Verbindung zum VPN-Server ist abgebrochen.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="113"/>
        <source>VPN connection failed</source>
        <extracomment>notification_failed</extracomment>
        <translation>VPN-Verbindung fehlgeschlagen</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="123"/>
        <source>VPN certificate not renewed</source>
        <extracomment>notification_certificate</extracomment>
        <translation>VPN-Zertifikat nicht erneuert</translation>
    </message>
    <message>
        <location filename="../../src/vpn/TunnelNotifications.cpp" line="120"/>
        <source>The certificate of this computer could not be renewed. Sign in again to get a new one.</source>
        <extracomment>notification_certificate_body</extracomment>
        <translation>Das Zertifikat dieses Computers konnte nicht erneuert werden. Melden Sie sich erneut an, um ein neues zu erhalten.</translation>
    </message>
</context>
<context>
    <name>Orvex::UpdateMessageViewController</name>
    <message>
        <location filename="../../src/update/UpdateMessageViewController.cpp" line="50"/>
        <source>OK</source>
        <extracomment>ok_btn</extracomment>
        <translation>OK</translation>
    </message>
    <message>
        <location filename="../../src/update/UpdateMessageViewController.cpp" line="67"/>
        <source>Version %1</source>
        <extracomment>version_label</extracomment>
        <translation>Version %1</translation>
    </message>
</context>
<context>
    <name>Orvex::UpdateViewController</name>
    <message>
        <location filename="../../src/update/UpdateViewController.cpp" line="44"/>
        <source>A new version of Orvex Cloud is available</source>
        <extracomment>update_available_title</extracomment>
        <translation>Eine neue Version von Orvex Cloud ist verfügbar</translation>
    </message>
    <message>
        <location filename="../../src/update/UpdateViewController.cpp" line="62"/>
        <source>Download and Install</source>
        <extracomment>download_btn</extracomment>
        <translation>Herunterladen und installieren</translation>
    </message>
    <message>
        <location filename="../../src/update/UpdateViewController.cpp" line="92"/>
        <source>Version %1 is ready to download. You have version %2.</source>
        <extracomment>update_version_label</extracomment>
        <translation>Version %1 steht zum Herunterladen bereit. Sie haben Version %2.</translation>
    </message>
</context>
<context>
    <name>Orvex::VPNService</name>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="101"/>
        <source>The VPN could not connect after several attempts.</source>
        <extracomment>blocked_attempts</extracomment>
        <translation>Das VPN konnte nach mehreren Versuchen keine Verbindung herstellen.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="105"/>
        <source>The VPN server refused the connection.</source>
        <extracomment>blocked_refused</extracomment>
        <translation>Der VPN-Server hat die Verbindung abgelehnt.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="109"/>
        <source>The VPN server did not answer.</source>
        <extracomment>blocked_no_answer</extracomment>
        <translation>Der VPN-Server hat nicht geantwortet.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="113"/>
        <source>The VPN service on this computer stopped.</source>
        <extracomment>blocked_daemon</extracomment>
        <translation>Der VPN-Dienst auf diesem Computer wurde beendet.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="117"/>
        <source>The connection to the VPN server was lost.</source>
        <extracomment>blocked_lost</extracomment>
        <translation>Die Verbindung zum VPN-Server wurde unterbrochen.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="121"/>
        <source>Orvex ended unexpectedly while the VPN was on.</source>
        <extracomment>blocked_earlier_run</extracomment>
        <translation>Orvex wurde unerwartet beendet, während das VPN eingeschaltet war.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="125"/>
        <source>Orvex could not control the traffic outside the VPN (%1). Turn the VPN off, or on to try again.</source>
        <extracomment>blocked_guard</extracomment>
        <translation>Orvex konnte den Datenverkehr außerhalb des VPN nicht steuern (%1). Schalten Sie das VPN aus, oder ein, um es erneut zu versuchen.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="118"/>
        <source>Orvex could not control the traffic outside the VPN (%1).</source>
        <extracomment>blocked_guard_reason</extracomment>
        <translation>Orvex konnte den Datenverkehr außerhalb des VPN nicht steuern (%1).</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="132"/>
        <source>%1 To keep your traffic private, nothing leaves this computer outside the VPN until you turn it off. Turn it on to try again.</source>
        <extracomment>blocked_tail</extracomment>
        <translation>%1 Damit Ihr Datenverkehr privat bleibt, verlässt nichts diesen Computer außerhalb des VPN, bis Sie es ausschalten. Schalten Sie es ein, um es erneut zu versuchen.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="177"/>
        <source>This network asks you to sign in on a web page before it lets you online. &quot;Always require VPN&quot; lets nothing leave this computer outside the VPN, even while it is off, so that page cannot open. To sign in: turn &quot;Always require VPN&quot; off in Settings, sign in in your browser, then Turn ON.</source>
        <extracomment>portal_always_required_off</extracomment>
        <translation>Dieses Netzwerk verlangt eine Anmeldung auf einer Webseite, bevor es Sie ins Internet lässt. „VPN immer erforderlich“ lässt nichts außerhalb des VPN diesen Computer verlassen, auch wenn es ausgeschaltet ist, daher kann sich diese Seite nicht öffnen. So melden Sie sich an: „VPN immer erforderlich“ in den Einstellungen ausschalten, im Browser anmelden, dann Einschalten.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="185"/>
        <source>This network asks you to sign in on a web page before it lets you online. With &quot;Always require VPN&quot; on, nothing leaves this computer outside the VPN, even while it is off, so that page cannot open. To sign in: turn &quot;Always require VPN&quot; off in Settings first, then Turn OFF, sign in in your browser and Turn ON.</source>
        <extracomment>portal_always_required</extracomment>
        <translation>Dieses Netzwerk verlangt eine Anmeldung auf einer Webseite, bevor es Sie ins Internet lässt. Mit „VPN immer erforderlich“ verlässt nichts diesen Computer außerhalb des VPN, auch wenn es ausgeschaltet ist, daher kann sich diese Seite nicht öffnen. So melden Sie sich an: Schalten Sie zuerst „VPN immer erforderlich“ in den Einstellungen aus, dann Ausschalten, im Browser anmelden und Einschalten.</translation>
    </message>
    <message>
        <location filename="../../src/vpn/VPNService.cpp" line="192"/>
        <source>This network asks you to sign in on a web page before it lets you online. Until you turn the VPN off, nothing leaves this computer outside it, so that page cannot open. To sign in: Turn OFF, sign in in your browser, then Turn ON.</source>
        <extracomment>portal</extracomment>
        <translation>Dieses Netzwerk verlangt eine Anmeldung auf einer Webseite, bevor es Sie ins Internet lässt. Bis Sie das VPN ausschalten, verlässt nichts diesen Computer außerhalb des VPN, daher kann sich diese Seite nicht öffnen. So melden Sie sich an: Ausschalten, im Browser anmelden, dann Einschalten.</translation>
    </message>
</context>
<context>
    <name>Orvex::VPNBackend</name>
    <message>
        <location filename="../../src/platform/nm/AutoVPNBackend.cpp" line="30"/>
        <source>charon&apos;s control socket (%1) cannot be reached.</source>
        <translation>Der Steuer-Socket von charon (%1) ist nicht erreichbar.</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/AutoVPNBackend.cpp" line="167"/>
        <source>No VPN service is available. %1 %2</source>
        <translation>Kein VPN-Dienst verfügbar. %1 %2</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/NetworkManagerDBus.cpp" line="119"/>
        <source>NetworkManager is not running.</source>
        <translation>NetworkManager läuft nicht.</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/NetworkManagerDBus.cpp" line="124"/>
        <source>NetworkManager&apos;s strongSwan plugin (network-manager-strongswan) is not installed.</source>
        <translation>Das strongSwan-Plugin für NetworkManager (network-manager-strongswan) ist nicht installiert.</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/NetworkManagerDBus.cpp" line="131"/>
        <source>NetworkManager did not allow this user to manage VPN connections.</source>
        <translation>NetworkManager hat diesem Benutzer nicht erlaubt, VPN-Verbindungen zu verwalten.</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/NetworkManagerVPNBackend.cpp" line="819"/>
        <source>The VPN configuration is not saved in NetworkManager.</source>
        <translation>Die VPN-Konfiguration ist nicht in NetworkManager gespeichert.</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/DaemonReadAccess.cpp" line="71"/>
        <source>NetworkManager&apos;s VPN service cannot be allowed to read the VPN key (%1).</source>
        <translation>Dem VPN-Dienst von NetworkManager kann das Lesen des VPN-Schlüssels nicht erlaubt werden (%1).</translation>
    </message>
    <message>
        <location filename="../../src/platform/nm/DaemonReadAccess.cpp" line="80"/>
        <source>NetworkManager&apos;s VPN service cannot be allowed to read the VPN key: the file system holding %1 does not support access control lists.</source>
        <translation>Dem VPN-Dienst von NetworkManager kann das Lesen des VPN-Schlüssels nicht erlaubt werden: Das Dateisystem, auf dem %1 liegt, unterstützt keine Zugriffssteuerungslisten (ACLs).</translation>
    </message>
</context>
<context>
    <name>StartViewController</name>
    <message>
        <location filename="../../src/account/StartViewController.ui" line="28"/>
        <source>Orvex Cloud</source>
        <translation>Orvex Cloud</translation>
    </message>
    <message>
        <location filename="../../src/account/StartViewController.ui" line="34"/>
        <source>Private, fast IKEv2 VPN for this computer</source>
        <translation>Privates, schnelles IKEv2-VPN für diesen Computer</translation>
    </message>
    <message>
        <location filename="../../src/account/StartViewController.ui" line="42"/>
        <source>Sign In</source>
        <translation>Anmelden</translation>
    </message>
    <message>
        <location filename="../../src/account/StartViewController.ui" line="49"/>
        <source>Sign Up</source>
        <translation>Registrieren</translation>
    </message>
</context>
</TS>
